#include "app/platform/access_prompter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <span>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/platform/scratch_dir.hpp"
#include "app/platform/store_database.hpp"

namespace app::platform {
namespace {
class SqliteAccessPrompterTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    std::string path = dir.file("brisolet/store.sqlite");
    int questions = 0;

    AccessAsker answering(bool answer) {
        return [this, answer](const AccessSubject&) {
            ++questions;
            return answer;
        };
    }
};

const AccessSubject everySubject[] = {AccessSubject::events(), AccessSubject::reminders(), AccessSubject::contacts(),
                                      AccessSubject::automation("Notes"), AccessSubject::automation("Music")};

// Asked once per subject; the answer, yes or no, is kept across restarts.
TEST_F(SqliteAccessPrompterTest, AnswersAreAskedOnceAndKeptAcrossRestarts) {
    {
        SqliteAccessPrompter prompter(path, [this](const AccessSubject& subject) {
            ++questions;
            return subject != AccessSubject::contacts();  // yes to all but contacts
        });
        for (const auto& subject : everySubject)
            EXPECT_EQ(prompter.authorizationStatus(subject), AuthorizationStatus::NotDetermined);
        for (const auto& subject : {AccessSubject::reminders(), AccessSubject::automation("Notes"), AccessSubject::reminders()})
            EXPECT_TRUE(prompter.requestAccess(subject));
        EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
        EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
        EXPECT_EQ(questions, 3);
    }
    SqliteAccessPrompter restarted(path, answering(true));
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

// Two questions in flight at once: the answer recorded first stands for both.
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

// A decisions file that holds no database is set aside, reported, and
// decisions start afresh; nothing is written through a link.
TEST_F(SqliteAccessPrompterTest, AnUnusableFileIsSetAsideAndStartedAfresh) {
    const std::string outside = dir.file("outside");
    const std::string decisions = dir.file("brisolet/access.sqlite");
    struct Row {
        const char* what;
        std::function<void()> plant;
    };
    const Row rows[] = {
        {"garbage", [&] { testsupport::writeFile(decisions, std::string(8192, 'x')); }},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(decisions.c_str(), 0600), 0); }},
        {"a link", [&] { std::filesystem::create_symlink(outside, decisions); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(dir.file("brisolet"));
        std::filesystem::create_directories(dir.file("brisolet"));
        testsupport::writeFile(outside, "keep");
        row.plant();
        auto sink = std::make_shared<MemoryDiagnosticSink>();
        {
            SqliteAccessPrompter prompter(decisions, grantAccess, std::nullopt, sink);
            EXPECT_TRUE(prompter.requestAccess(AccessSubject::events()));
        }
        EXPECT_EQ(SqliteAccessPrompter(decisions).authorizationStatus(AccessSubject::events()),
                  AuthorizationStatus::FullAccess);
        ASSERT_EQ(sink->lines().size(), 1u);
        EXPECT_NE(sink->lines()[0].find("moved aside to " + decisions + ".corrupt-"), std::string::npos) << sink->lines()[0];
        EXPECT_EQ(testsupport::readFile(outside), "keep");
    }
}

// Processes starting together on a fresh home all get their answer: none
// fails because another opened the same file at the same moment.
TEST_F(SqliteAccessPrompterTest, EightProcessesStartingAtOnceAllAnswer) {
    constexpr int kRounds = 12, kProcesses = 8;
    const mode_t oldMask = ::umask(022);
    int failures = 0;
    for (int round = 0; round < kRounds; ++round) {
        const std::string home = dir.file("round" + std::to_string(round));
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kProcesses; ++i) {
            pid_t child = ::fork();
            if (child == 0) {
                ::close(gate[1]);
                char byte;
                while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
                }
                try {
                    SqliteAccessPrompter prompter(home + "/brisolet/access.sqlite");
                    openStoreDatabase(home + "/brisolet/store.sqlite", "store", "demo",
                                      std::span<const std::string_view>());
                    ::_exit(prompter.requestAccess(AccessSubject::events()) ? 0 : 2);
                } catch (const std::exception& error) {
                    std::fprintf(stderr, "%s\n", error.what());
                    ::_exit(1);
                }
            }
            ASSERT_GT(child, 0);
            children.push_back(child);
        }
        ::close(gate[0]);
        ::close(gate[1]);  // all start now
        for (pid_t child : children) {
            int status = 0;
            ASSERT_TRUE(testsupport::waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; },
                                               std::chrono::seconds(60)));
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
        }
        // Made private, whoever made them.
        for (const auto& [name, mode] : {std::pair{"/brisolet", 0700u}, {"/brisolet/access.sqlite", 0600u},
                                         {"/brisolet/store.sqlite", 0600u}}) {
            struct stat info {};
            ASSERT_EQ(::stat((home + name).c_str(), &info), 0) << name;
            EXPECT_EQ(info.st_mode & 0777, mode) << name;
        }
    }
    ::umask(oldMask);
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace app::platform
