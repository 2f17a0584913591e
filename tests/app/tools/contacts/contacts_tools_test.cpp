#include "app/tools/contacts/contacts_tools.hpp"

#include "app/platform/contact_store.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/contacts_messages_notes_support.hpp"
#include "app/tools/tool_test_support.hpp"
#include "json/json.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/memory_diagnostic_sink.hpp"

#include <gtest/gtest.h>

namespace app::tools {
namespace {
using testing::expectToolError;
using platform::AccessSubject;
using platform::AuthorizationStatus;

std::string card(const std::string& n, const std::string& fn, const std::vector<std::string>& phones,
                 const std::string& extra = "") {
    std::string text = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    if (!n.empty()) text += "N:" + n + "\r\n";
    text += "FN:" + fn + "\r\n" + extra;
    for (const auto& phone : phones) text += "TEL;TYPE=CELL:" + phone + "\r\n";
    return text + "END:VCARD\r\n";
}

// Store order is file name, then position in the file.
class ContactsToolsTest : public ::testing::Test {
protected:
    ContactsToolsTest() {
        prompter->setStatus(AccessSubject::contacts(), AuthorizationStatus::FullAccess);
        testsupport::writeFile(dir.file("a.vcf"),
                               card("Appleseed;John;;;", "John Appleseed", {"+1 (555) 010-0001", "555-0002"}) +
                                   card(";Cher;;;", "Cher", {"+33 1 23 45 67 89"}) +
                                   card("", "Acme Inc", {"800-555-0199"}, "ORG:Acme Inc\r\n") +
                                   card("Nonumber;Nina;;;", "Nina Nonumber", {}));
        testsupport::writeFile(dir.file("b.vcf"),
                               card("der Bergman;Ivan;;;", "Ivan der Bergman", {"111"}) +
                                   card("der Berg;Van;;;", "Van der Berg", {"222"}) +
                                   card("Appleseed;John;;;", "John Appleseed", {"555-0003"}) +
                                   card("Zola;Émile;;;", "Émile Zola", {"+33 6 00 00 00 00"}));
        // Not a vCard file: never read.
        testsupport::writeFile(dir.file("notes.txt"), card("Hidden;Harry;;;", "Harry", {"999"}));
    }

    std::string call(const std::string& name, const Arguments& arguments = {}) { return family.handle(name, arguments, {}); }

    testsupport::ScratchDir dir;
    std::shared_ptr<platform::FakeAccessPrompter> prompter = std::make_shared<platform::FakeAccessPrompter>();
    ContactsToolFamily family{std::make_shared<ContactsManager>(std::make_shared<platform::VCardContactStore>(dir.path(), prompter),
                                                                std::make_shared<platform::MemoryDiagnosticSink>())};
};

TEST_F(ContactsToolsTest, ListsNamedPeopleWithNumbersAsPrettyJson) {
    // The second John Appleseed replaces the first one's numbers where they
    // stand; the organisation and the person without a number are left out.
    EXPECT_EQ(call("get_all_contacts"),
              "{\n  \"John Appleseed\" : [\n    \"555-0003\"\n  ],\n  \"Cher\" : [\n    \"+33 1 23 45 67 89\"\n  ],\n"
              "  \"Ivan der Bergman\" : [\n    \"111\"\n  ],\n  \"Van der Berg\" : [\n    \"222\"\n  ],\n"
              "  \"Émile Zola\" : [\n    \"+33 6 00 00 00 00\"\n  ]\n}");
    // The limit counts the people listed, exactly.
    const std::vector<std::string> order = {"John Appleseed", "Cher", "Ivan der Bergman"};
    for (int limit : {0, 1, 2, 3}) {
        std::vector<std::string> names;
        const json::Value listed = json::parse(call("get_all_contacts", {{"limit", limit}}));
        for (const auto& member : listed.asObject().members()) names.push_back(member.first);
        EXPECT_EQ(names, std::vector<std::string>(order.begin(), order.begin() + limit)) << limit;
    }
}

TEST_F(ContactsToolsTest, FindsNumbersByNameSearchThenByScan) {
    const std::pair<const char*, const char*> cases[] = {
        // The store's own search: every match, each contact's numbers in order.
        {"John", "+1 (555) 010-0001, 555-0002, 555-0003"},
        {"appleseed jo", "+1 (555) 010-0001, 555-0002, 555-0003"},
        // Scan, containment: one person only, the directory's (later) John.
        {"  Mr JOHN appleseed\n", "555-0003"},
        {"ppleseed", "555-0003"},
        // Scan with Unicode lower-casing.
        {"ÉMILE ZOLA JR", "+33 6 00 00 00 00"},
        // The exact pass runs before containment: "ivan der bergman" comes
        // first and contains the key, "van der berg" equals it.
        {"VAN DER BERG", "222"},
        {"Nobody Known", "No phone numbers found for 'Nobody Known'"},
        // Blank: nobody, never the first name the containment pass meets.
        {"", "No phone numbers found for ''"},
        {" \t\n ", "No phone numbers found for ' \t\n '"},
    };
    for (const auto& [name, reply] : cases) EXPECT_EQ(call("find_phone_number", {{"name", name}}), reply) << name;
}

// Names written family name first (Chinese, Japanese, Korean) are listed as
// the card writes them; a card whose written name is not its family and
// given name, or that has none, keeps the given-family order.
TEST(ContactsNames, WrittenFamilyFirstNamesAreListedAsWritten) {
    const std::tuple<const char*, const char*, const char*> rows[] = {
        // N, FN, listed as
        {"张;伟;;;", "张伟", "张伟"},
        {"山田;太郎;;;", "山田 太郎", "山田 太郎"},
        {"김;민수;;;", " 김민수 ", "김민수"},
        {"Smith;John;;;", "John Smith", "John Smith"},
        {"Doe;Jane;Q.;Dr.;", "Dr. Jane Q. Doe", "Jane Doe"},
        {"王;芳;;;", "", "芳 王"},
        {"张;伟;;;", "Zhang Wei", "伟 张"},
    };
    testsupport::ScratchDir dir;
    std::string cards;
    for (std::size_t i = 0; i < std::size(rows); ++i)
        cards += card(std::get<0>(rows[i]), std::get<1>(rows[i]), {std::to_string(i)});
    testsupport::writeFile(dir.file("c.vcf"), cards);
    auto prompter = std::make_shared<platform::FakeAccessPrompter>();
    prompter->setStatus(AccessSubject::contacts(), AuthorizationStatus::FullAccess);
    ContactsManager manager(std::make_shared<platform::VCardContactStore>(dir.path(), prompter),
                            std::make_shared<platform::MemoryDiagnosticSink>());
    const ContactDirectory listed = manager.fetchAllContacts(100);
    std::vector<std::string> names;
    for (const auto& entry : listed.entries()) names.push_back(entry.first);
    std::vector<std::string> expected;
    for (const auto& row : rows) expected.push_back(std::get<2>(row));
    EXPECT_EQ(names, expected);
}

}  // namespace
}  // namespace app::tools
