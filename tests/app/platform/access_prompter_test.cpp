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

TEST_F(SqliteAccessPrompterTest, NotDeterminedUntilAskedThenGrantedAndKeptAcrossRestarts) {
    {
        SqliteAccessPrompter prompter(path, answering(true));
        for (const auto& subject : everySubject)
            EXPECT_EQ(prompter.authorizationStatus(subject), AuthorizationStatus::NotDetermined);
        EXPECT_TRUE(prompter.requestAccess(AccessSubject::reminders()));
        EXPECT_TRUE(prompter.requestAccess(AccessSubject::automation("Notes")));
        EXPECT_TRUE(prompter.requestAccess(AccessSubject::reminders()));  // decided: not asked again
        EXPECT_EQ(questions, 2);
    }
    SqliteAccessPrompter restarted(path, answering(false));
    EXPECT_EQ(restarted.authorizationStatus(AccessSubject::reminders()), AuthorizationStatus::FullAccess);
    EXPECT_EQ(restarted.authorizationStatus(AccessSubject::automation("Notes")), AuthorizationStatus::FullAccess);
    EXPECT_EQ(restarted.authorizationStatus(AccessSubject::automation("Music")), AuthorizationStatus::NotDetermined);
    EXPECT_EQ(restarted.authorizationStatus(AccessSubject::events()), AuthorizationStatus::NotDetermined);
    EXPECT_TRUE(restarted.requestAccess(AccessSubject::reminders()));
    EXPECT_EQ(questions, 2);
}

TEST_F(SqliteAccessPrompterTest, ARefusalIsRecordedAsDenied) {
    {
        SqliteAccessPrompter prompter(path, answering(false));
        EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
        EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
        EXPECT_EQ(questions, 1);
    }
    SqliteAccessPrompter restarted(path, answering(true));
    EXPECT_EQ(restarted.authorizationStatus(AccessSubject::contacts()), AuthorizationStatus::Denied);
    EXPECT_FALSE(restarted.requestAccess(AccessSubject::contacts()));
    EXPECT_EQ(questions, 1);
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
