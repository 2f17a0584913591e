#include "app/platform/contact_store.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "app/platform/scratch_dir.hpp"
#include "app/platform/vcard.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/memory_diagnostic_sink.hpp"

namespace app::platform {
namespace {
TEST(ParseVCards, ReadsNamesAndNumbers) {
    struct Case {
        std::string name;
        std::string text;
        std::vector<Contact> expected;
    };
    const std::vector<Case> cases = {
        {"plain 3.0 with CRLF",
         "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Doe;John;;;\r\nFN:John Doe\r\nTEL;TYPE=CELL:+1 (555) 010-0001\r\n"
         "TEL;TYPE=HOME:555 0002\r\nEND:VCARD\r\n",
         {{"f#1", "John", "Doe", {"+1 (555) 010-0001", "555 0002"}, "John Doe"}}},
        {"folded lines", "BEGIN:VCARD\nN:Van der\n  Berg;Anna\n  Maria;;;\nTEL:+31 6\n\t1234 5678\nEND:VCARD\n",
         {{"f#1", "Anna Maria", "Van der Berg", {"+31 61234 5678"}}}},
        {"escapes", "BEGIN:VCARD\nN:O\\;Brien;Se\\,an\\\\x\\nline;;;\nTEL:1\\,2\nEND:VCARD\n",
         {{"f#1", "Se,an\\x\nline", "O;Brien", {"1,2"}}}},
        {"groups, case and a tel URI", "begin:vcard\nitem1.tel;value=uri:tel:+1-555-0100\nn:Lee;Ann\nend:vcard\n",
         {{"f#1", "Ann", "Lee", {"+1-555-0100"}}}},
        {"quoted parameter holding a colon", "BEGIN:VCARD\nN:Kim;Min\nTEL;TYPE=\"voice:x\":010\nEND:VCARD\n",
         {{"f#1", "Min", "Kim", {"010"}}}},
        {"FN without N", "BEGIN:VCARD\nVERSION:4.0\nFN:Prince\nTEL:1\nEND:VCARD\n",
         {{"f#1", "Prince", "", {"1"}, "Prince"}}},
        {"FN with an empty N", "BEGIN:VCARD\nVERSION:3.0\nN:;;;;\nFN:Cher\\, Sarkisian\nTEL:3\nEND:VCARD\n",
         {{"f#1", "Cher, Sarkisian", "", {"3"}, "Cher, Sarkisian"}}},
        {"name as written, family first", "BEGIN:VCARD\nN:张;伟;;;\nFN:张伟\nTEL:4\nEND:VCARD\n",
         {{"f#1", "伟", "张", {"4"}, "张伟"}}},
        {"company card", "BEGIN:VCARD\nFN:Acme Ltd\nORG:Acme Ltd;Sales\nTEL:2\nEND:VCARD\n",
         {{"f#1", "", "", {"2"}, "Acme Ltd"}}},
        {"several cards, empty TEL skipped, missing END kept",
         "junk before\nBEGIN:VCARD\nN:A;B\nTEL:\nEND:VCARD\nBEGIN:VCARD\nN:C;D\nTEL:9",
         {{"f#1", "B", "A", {}}, {"f#2", "D", "C", {"9"}}}},
        {"embedded card ignored",
         "BEGIN:VCARD\nN:Outer;O\nAGENT:BEGIN:VCARD\nBEGIN:VCARD\nN:Inner;I\nTEL:5\nEND:VCARD\nTEL:6\nEND:VCARD\n",
         {{"f#1", "O", "Outer", {"6"}}}},
        {"embedded card in any case",
         "BEGIN:VCARD\nN:Outer;O\nbegin:vcard\nN:Inner;I\nTEL:5\nEnd:VCard\nTEL:6\nend:vcard\nBEGIN:VCARD\nN:Next;N\nEND:VCARD\n",
         {{"f#1", "O", "Outer", {"6"}}, {"f#2", "N", "Next", {}}}},
        {"quoted-printable with soft breaks",
         "BEGIN:VCARD\nVERSION:2.1\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=E5=BC=A0;=E4=B8=\n=89\nTEL;CELL:138\nEND:VCARD\n",
         {{"f#1", "三", "张", {"138"}}}},
        {"Latin-1 charset", "BEGIN:VCARD\nN;CHARSET=ISO-8859-1:M\xfcller;J\xfcrgen\nEND:VCARD\n",
         {{"f#1", "Jürgen", "Müller", {}}}},
        {"invalid UTF-8 repaired", "BEGIN:VCARD\nN:M\xfcller;\xc3\nTEL:1\xff\nEND:VCARD\n",
         {{"f#1", "\xEF\xBF\xBD", "M\xEF\xBF\xBDller", {"1\xEF\xBF\xBD"}}}},
        {"byte-order mark", "\xEF\xBB\xBF" "BEGIN:VCARD\nN:Z;Y\nEND:VCARD\n", {{"f#1", "Y", "Z", {}}}},
        {"nothing", "", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseVCards(c.text, "f"), c.expected) << c.name;
}

class VCardContactStoreTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    std::string folder = dir.file("brisolet/contacts");
    VCardContactStore store{folder, std::make_shared<FakeAccessPrompter>()};

    std::vector<std::string> walk(std::size_t stopAfter = 1000) {
        std::vector<std::string> ids;
        store.enumerateContacts([&](const Contact& contact) {
            ids.push_back(contact.identifier);
            return ids.size() < stopAfter;
        });
        return ids;
    }

    // Two walks of a new store with a diagnostic sink serve `ids` each time;
    // the sink then holds `reported` (a skipped file is reported once).
    void expectServedTwiceAndReported(const std::vector<std::string>& ids, const std::vector<std::string>& reported) {
        auto sink = std::make_shared<MemoryDiagnosticSink>();
        VCardContactStore withSink{folder, std::make_shared<FakeAccessPrompter>(), sink};
        for (int round = 0; round < 2; ++round) {
            std::vector<std::string> served;
            withSink.enumerateContacts([&](const Contact& c) { return served.push_back(c.identifier), true; });
            EXPECT_EQ(served, ids);
        }
        EXPECT_EQ(sink->lines(), reported);
    }
};

TEST_F(VCardContactStoreTest, StoreOrderIsFileNameThenPosition) {
    EXPECT_TRUE(walk().empty());  // no folder yet
    std::filesystem::create_directories(folder);
    testsupport::writeFile(folder + "/b.vcf", "BEGIN:VCARD\nN:B;One\nEND:VCARD\nBEGIN:VCARD\nN:B;Two\nEND:VCARD\n");
    testsupport::writeFile(folder + "/a.VCF", "BEGIN:VCARD\nN:A;One\nEND:VCARD\n");
    testsupport::writeFile(folder + "/B.vcf", "BEGIN:VCARD\nN:Upper;One\nEND:VCARD\n");
    testsupport::writeFile(folder + "/notes.txt", "BEGIN:VCARD\nN:Txt;One\nEND:VCARD\n");
    std::filesystem::create_directories(folder + "/dir.vcf");
    EXPECT_EQ(walk(), (std::vector<std::string>{"B.vcf#1", "a.VCF#1", "b.vcf#1", "b.vcf#2"}));
    EXPECT_EQ(walk(2), (std::vector<std::string>{"B.vcf#1", "a.VCF#1"}));  // stops after the current contact

    auto found = store.contactsMatchingName("one");
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].familyName, "Upper");
    EXPECT_TRUE(store.contactsMatchingName("").empty());
    EXPECT_EQ(store.contactsMatchingName("b t").size(), 1u);
}

// Address books in sub-folders (khard, vdirsyncer), hidden ones left out;
// names as written on the card; a FIFO named like a card is skipped once,
// never waited on.
TEST_F(VCardContactStoreTest, ReadsAddressBooksInSubFoldersWithoutBlocking) {
    std::filesystem::create_directories(folder + "/work/deeper/still/too-deep");
    testsupport::writeFile(folder + "/work/x.vcf", "BEGIN:VCARD\nN:张;伟;;;\nFN:张伟\nTEL:1\nEND:VCARD\n");
    testsupport::writeFile(folder + "/work/deeper/still/y.vcf", "BEGIN:VCARD\nN:Y;Y\nEND:VCARD\n");
    testsupport::writeFile(folder + "/work/deeper/still/too-deep/z.vcf", "BEGIN:VCARD\nN:Z;Z\nEND:VCARD\n");
    testsupport::writeFile(folder + "/top.vcf", "BEGIN:VCARD\nN:T;T\nEND:VCARD\n");
    ASSERT_EQ(::mkfifo((folder + "/work/pipe.vcf").c_str(), 0600), 0);
    // Hidden folders hold deleted cards and a sync tool's own files.
    for (const char* hidden : {"/.trash", "/work/.git"}) {
        std::filesystem::create_directories(folder + hidden);
        testsupport::writeFile(folder + hidden + "/gone.vcf", "BEGIN:VCARD\nN:Gone;G\nEND:VCARD\n");
    }
    auto sink = std::make_shared<MemoryDiagnosticSink>();
    VCardContactStore withSink{folder, std::make_shared<FakeAccessPrompter>(), sink};
    for (int round = 0; round < 2; ++round) {
        std::vector<std::string> ids;
        withSink.enumerateContacts([&](const Contact& c) { return ids.push_back(c.identifier), true; });
        EXPECT_EQ(ids, (std::vector<std::string>{"top.vcf#1", "work/deeper/still/y.vcf#1", "work/x.vcf#1"}));
    }
    EXPECT_EQ(sink->lines().size(), 1u);
    const std::pair<const char*, std::size_t> searches[] = {{"张伟", 1}, {"张", 1}, {"伟", 1}, {"伟张", 0}, {"张伟x", 0}};
    for (const auto& [query, found] : searches) EXPECT_EQ(withSink.contactsMatchingName(query).size(), found) << query;
}

// Address books where a sync tool keeps them: the folder and its sub-folders
// may be links; each card is read once however many links lead to its folder,
// and links back up or in a loop end the walk.
TEST_F(VCardContactStoreTest, LinkedFoldersAreFollowedAndEachReadOnce) {
    const std::string real = dir.file("real"), synced = dir.file("Sync/Friends");
    std::filesystem::create_directories(real);
    std::filesystem::create_directories(synced);
    std::filesystem::create_directories(dir.file("brisolet"));
    std::filesystem::create_directory_symlink(real, folder);
    testsupport::writeFile(real + "/me.vcf", "BEGIN:VCARD\nN:Me;Me\nEND:VCARD\n");
    testsupport::writeFile(synced + "/f.vcf", "BEGIN:VCARD\nN:F;F\nEND:VCARD\n");
    std::filesystem::create_directory_symlink(synced, real + "/friends");
    std::filesystem::create_directory_symlink(synced, real + "/friends-again");
    std::filesystem::create_directory_symlink(real + "/loop-b", real + "/loop-a");
    std::filesystem::create_directory_symlink(real + "/loop-a", real + "/loop-b");
    for (int i = 0; i < 8; ++i) std::filesystem::create_directory_symlink(folder, real + "/up" + std::to_string(i));
    const auto ids = walk();
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), "me.vcf#1"), 1);
    EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const std::string& id) { return id.ends_with("/f.vcf#1"); }), 1);
}

// A file too large to read is skipped and reported once; the cards beside
// it are served. Only its size counts: the sparse files cost no disk.
TEST_F(VCardContactStoreTest, AnOversizedFileIsSkippedAndReportedNotFatal) {
    const std::pair<std::size_t, bool> rows[] = {{VCardContactStore::maxFileSize + 1, true},
                                                 {std::size_t{65} << 20, true},
                                                 {VCardContactStore::maxFileSize, false}};
    std::filesystem::create_directories(folder);
    for (const auto& [size, skipped] : rows) {
        SCOPED_TRACE(size);
        testsupport::writeFile(folder + "/a.vcf", "BEGIN:VCARD\nN:A;Ann\nTEL:1\nEND:VCARD\n");
        testsupport::writeFile(folder + "/c.vcf", "BEGIN:VCARD\nN:C;Cy\nTEL:3\nEND:VCARD\n");
        testsupport::writeFile(folder + "/b.vcf", "");
        ASSERT_EQ(::truncate((folder + "/b.vcf").c_str(), static_cast<off_t>(size)), 0);
        expectServedTwiceAndReported({"a.vcf#1", "c.vcf#1"},
                                     skipped ? std::vector<std::string>{"Contacts: skipping " + folder +
                                                                        "/b.vcf: larger than 64 MiB"}
                                             : std::vector<std::string>{});
    }
}

// A file that cannot be opened (a link to nothing, a loop of links) is
// skipped and reported once, like one too large: the others are served.
TEST_F(VCardContactStoreTest, AFileThatCannotBeOpenedIsSkippedAndReportedNotFatal) {
    const std::pair<const char*, const char*> rows[] = {{"gone.vcf", "No such file or directory"},
                                                        {"loop.vcf", "Too many levels of symbolic links"}};
    for (const auto& [name, why] : rows) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        testsupport::writeFile(folder + "/a.vcf", "BEGIN:VCARD\nN:A;Ann\nTEL:1\nEND:VCARD\n");
        testsupport::writeFile(folder + "/z.vcf", "BEGIN:VCARD\nN:Z;Zoe\nTEL:3\nEND:VCARD\n");
        const std::string link = folder + "/" + name;
        std::filesystem::create_symlink(std::string(name) == "gone.vcf" ? folder + "/nowhere.vcf" : link, link);
        expectServedTwiceAndReported({"a.vcf#1", "z.vcf#1"}, {"Contacts: skipping " + link + ": " + why});
    }
}

}  // namespace
}  // namespace app::platform
