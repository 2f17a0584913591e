#include "app/platform/access_prompter.hpp"

#include <gtest/gtest.h>

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

TEST_F(SqliteAccessPrompterTest, RecordedStatusesAreReadBackAsTheyAre) {
    SqliteAccessPrompter prompter(path, answering(true));
    const AuthorizationStatus statuses[] = {AuthorizationStatus::Restricted, AuthorizationStatus::Denied,
                                            AuthorizationStatus::WriteOnly, AuthorizationStatus{7}};
    for (auto status : statuses) {
        prompter.recordDecision(AccessSubject::events(), status);
        EXPECT_EQ(prompter.authorizationStatus(AccessSubject::events()), status);
        EXPECT_FALSE(prompter.requestAccess(AccessSubject::events()));
    }
    prompter.recordDecision(AccessSubject::events(), AuthorizationStatus::NotDetermined);
    EXPECT_TRUE(prompter.requestAccess(AccessSubject::events()));  // undecided again: asked
    EXPECT_EQ(questions, 1);
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

TEST_F(SqliteAccessPrompterTest, AnUnopenableFileIsAnError) {
    std::filesystem::create_directories(dir.file("taken"));
    SqliteAccessPrompter prompter(dir.file("taken"));
    EXPECT_THROW(prompter.authorizationStatus(AccessSubject::events()), PlatformError);
    EXPECT_THROW(prompter.requestAccess(AccessSubject::events()), PlatformError);
}

TEST(FakeAccessPrompter, CountsQuestionsAndKeepsSetStatuses) {
    FakeAccessPrompter prompter([](const AccessSubject& subject) { return subject.entity != AccessEntity::Contacts; });
    EXPECT_TRUE(prompter.requestAccess(AccessSubject::events()));
    EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
    EXPECT_FALSE(prompter.requestAccess(AccessSubject::contacts()));
    EXPECT_EQ(prompter.promptCount(AccessSubject::contacts()), 1);
    EXPECT_EQ(prompter.authorizationStatus(AccessSubject::contacts()), AuthorizationStatus::Denied);
    prompter.setStatus(AccessSubject::automation("Mail"), AuthorizationStatus::WriteOnly);
    EXPECT_FALSE(prompter.requestAccess(AccessSubject::automation("Mail")));
    EXPECT_EQ(prompter.promptCount(AccessSubject::automation("Mail")), 0);
}

}  // namespace
}  // namespace app::platform
