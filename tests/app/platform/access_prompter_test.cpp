#include "app/platform/access_prompter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "app/platform/scratch_dir.hpp"

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

}  // namespace
}  // namespace app::platform
