#include "app/platform/access_prompter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/platform/scratch_dir.hpp"
#include "app/platform/store_database.hpp"
#include "support/memory_diagnostic_sink.hpp"

namespace app::platform {
namespace {
class SqliteAccessPrompterTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    std::string path = dir.file("brisolet/store.sqlite");
    int questions = 0;
    AccessAsker allButContacts = [this](const AccessSubject& subject) {
        ++questions;
        return subject != AccessSubject::contacts();
    };
};

const AccessSubject everySubject[] = {AccessSubject::events(), AccessSubject::reminders(), AccessSubject::contacts(),
                                      AccessSubject::automation("Notes"), AccessSubject::automation("Music")};

TEST_F(SqliteAccessPrompterTest, AnswersAreAskedOnceAndKeptAcrossRestarts) {
    {
        SqliteAccessPrompter prompter(path, allButContacts);
        for (const auto& subject : everySubject)
            EXPECT_EQ(prompter.authorizationStatus(subject), AuthorizationStatus::NotDetermined);
        for (const auto& subject : {AccessSubject::reminders(), AccessSubject::automation("Notes"), AccessSubject::reminders()})
            EXPECT_TRUE(prompter.requestAccess(subject));
        EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
        EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
        EXPECT_EQ(questions, 3);
    }
    SqliteAccessPrompter restarted(path, allButContacts);
    const std::pair<AccessSubject, AuthorizationStatus> kept[] = {
        {AccessSubject::reminders(), AuthorizationStatus::FullAccess},
        {AccessSubject::automation("Notes"), AuthorizationStatus::FullAccess},
        {AccessSubject::contacts(), AuthorizationStatus::Denied},
        {AccessSubject::automation("Music"), AuthorizationStatus::NotDetermined},
        {AccessSubject::events(), AuthorizationStatus::NotDetermined}};
    for (const auto& [subject, status] : kept) EXPECT_EQ(restarted.authorizationStatus(subject), status);
    EXPECT_TRUE(restarted.requestAccess(AccessSubject::reminders()));
    EXPECT_FALSE(restarted.requestAccess(AccessSubject::contacts()));
    EXPECT_EQ(questions, 3);
}

TEST_F(SqliteAccessPrompterTest, AFailedQuestionRecordsNothing) {
    SqliteAccessPrompter prompter(path, [](const AccessSubject&) -> bool { throw std::runtime_error("no display"); });
    EXPECT_THROW(prompter.requestAccess(AccessSubject::events()), std::runtime_error);
    EXPECT_EQ(prompter.authorizationStatus(AccessSubject::events()), AuthorizationStatus::NotDetermined);
}

TEST_F(SqliteAccessPrompterTest, OfTwoRacingAnswersTheFirstStands) {
    const AccessSubject subject = AccessSubject::contacts();
    std::atomic<int> asked{0};
    std::promise<void> bothAsked;
    std::shared_future<void> bothAskedSeen = bothAsked.get_future().share();
    std::unique_ptr<SqliteAccessPrompter> prompter;
    prompter = std::make_unique<SqliteAccessPrompter>(path, [&](const AccessSubject&) {
        if (asked++ == 0) {
            bothAskedSeen.wait_for(std::chrono::seconds(10));
            return true;
        }
        bothAsked.set_value();
        // The later answer comes once the first is on record.
        testsupport::waitUntil(
            [&] { return prompter->authorizationStatus(subject) != AuthorizationStatus::NotDetermined; });
        return false;
    });
    auto first = std::async(std::launch::async, [&] { return prompter->requestAccess(subject); });
    auto second = std::async(std::launch::async, [&] { return prompter->requestAccess(subject); });
    ASSERT_EQ(first.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    ASSERT_EQ(second.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
    EXPECT_EQ(prompter->authorizationStatus(subject), AuthorizationStatus::FullAccess);
}

TEST_F(SqliteAccessPrompterTest, DecisionsOfTheOldStoreAreTakenOverOnce) {
    const std::string old = dir.file("old.sqlite");
    SqliteAccessPrompter(old).recordDecision(AccessSubject::contacts(), AuthorizationStatus::Denied);
    SqliteAccessPrompter(old).recordDecision(AccessSubject::events(), AuthorizationStatus::Denied);
    SqliteAccessPrompter first(path, grantAccess, old);
    first.recordDecision(AccessSubject::events(), AuthorizationStatus::FullAccess);
    SqliteAccessPrompter again(path, grantAccess, old);
    EXPECT_EQ(again.authorizationStatus(AccessSubject::contacts()), AuthorizationStatus::Denied);
    EXPECT_EQ(again.authorizationStatus(AccessSubject::events()), AuthorizationStatus::FullAccess);
    EXPECT_EQ(again.authorizationStatus(AccessSubject::reminders()), AuthorizationStatus::NotDetermined);
}

// A decisions file holding no database is set aside, reported and started
// afresh; a link, even as its log, is never written through.
TEST_F(SqliteAccessPrompterTest, AnUnusableFileIsSetAsideAndStartedAfresh) {
    const std::string outside = dir.file("outside"), decisions = dir.file("b/access.sqlite");
    const std::pair<std::string, std::function<void()>> rows[] = {
        {"garbage", [&] { testsupport::writeFile(decisions, std::string(8192, 'x')); }},
        {"a FIFO", [&] { ::mkfifo(decisions.c_str(), 0600); }},
        {"a link", [&] { std::filesystem::create_symlink(outside, decisions); }},
        {"a link as its log", [&] { std::filesystem::create_symlink(outside, decisions + "-wal"); }},
    };
    for (const auto& [what, plant] : rows) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(dir.file("b"));
        std::filesystem::create_directories(dir.file("b"));
        testsupport::writeFile(outside, "keep");
        plant();
        auto sink = std::make_shared<MemoryDiagnosticSink>();
        SqliteAccessPrompter prompter(decisions, grantAccess, std::nullopt, sink);
        if (what == "a link as its log") {
            EXPECT_THROW(prompter.requestAccess(AccessSubject::events()), PlatformError);
        } else {
            EXPECT_TRUE(prompter.requestAccess(AccessSubject::events()));
            ASSERT_EQ(sink->lines().size(), 1u);
            EXPECT_NE(sink->lines()[0].find("moved aside to " + decisions + ".corrupt-"), std::string::npos);
        }
        EXPECT_EQ(testsupport::readFile(outside), "keep");
    }
}

// Processes starting together on a fresh home all get their answer (none
// fails because another opened the same file at that moment), and what
// they make is private.
TEST_F(SqliteAccessPrompterTest, EightProcessesStartingAtOnceAllAnswer) {
    const mode_t oldMask = ::umask(022);
    int failures = 0;
    for (int round = 0; round < 12; ++round) {
        const std::string home = dir.file("r" + std::to_string(round)) + "/brisolet";
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        std::vector<pid_t> children(8);
        for (pid_t& child : children) {
            if ((child = ::fork()) != 0) continue;
            ::close(gate[1]);
            char byte;
            [[maybe_unused]] auto n = ::read(gate[0], &byte, 1);  // all go when the gate closes
            try {
                openStoreDatabase(home + "/store.sqlite", "store", "demo", {});
                ::_exit(SqliteAccessPrompter(home + "/access.sqlite").requestAccess(AccessSubject::events()) ? 0 : 2);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "%s\n", error.what());
                ::_exit(1);
            }
        }
        ::close(gate[0]);
        ::close(gate[1]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_TRUE(testsupport::waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; },
                                               std::chrono::seconds(60)));
            failures += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
        }
        for (const auto& [name, mode] : {std::pair{"", 0700u}, {"/access.sqlite", 0600u}, {"/store.sqlite", 0600u}}) {
            struct stat info {};
            EXPECT_TRUE(::stat((home + name).c_str(), &info) == 0 && (info.st_mode & 0777) == mode) << name;
        }
    }
    ::umask(oldMask);
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace app::platform
