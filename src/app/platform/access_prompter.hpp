// Consent to reach the user's calendars, reminders and contacts and to
// automate an application, with the decisions kept across runs.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/sqlite.hpp"

namespace app::platform {

// Raw values as the families read them; a stored value outside 0-4 is kept
// as it is (the status texts show such a raw value).
enum class AuthorizationStatus : int {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    FullAccess = 3,  // "authorized"
    WriteOnly = 4,
};

enum class AccessEntity : int { Events = 0, Reminders = 1, Contacts = 2, Automation = 3 };

// What consent is about; `application` names the target for Automation only.
struct AccessSubject {
    AccessEntity entity = AccessEntity::Events;
    std::string application;

    static AccessSubject events() { return {AccessEntity::Events, {}}; }
    static AccessSubject reminders() { return {AccessEntity::Reminders, {}}; }
    static AccessSubject contacts() { return {AccessEntity::Contacts, {}}; }
    static AccessSubject automation(std::string application) { return {AccessEntity::Automation, std::move(application)}; }

    auto operator<=>(const AccessSubject&) const = default;
};

class AccessPrompter {
public:
    virtual ~AccessPrompter() = default;
    // The current decision, without asking.
    virtual AuthorizationStatus authorizationStatus(const AccessSubject& subject) = 0;
    // Asks the user while nothing is decided and records the answer. True
    // when full access holds afterwards; a subject already decided is not
    // asked again. Throws when asking fails (nothing is recorded then).
    virtual bool requestAccess(const AccessSubject& subject) = 0;
};

// The question put to the user: true grants. May throw.
using AccessAsker = std::function<bool(const AccessSubject&)>;

// On Linux the user owns these local stores, so a question is granted.
bool grantAccess(const AccessSubject& subject);

// Decisions kept in the table access_decisions of an SQLite database of
// their own (the program uses access.sqlite), apart from the data stores so
// that a broken data store never breaks consent. The file is opened at first
// use. One that holds no database (damaged, or no regular file) is renamed
// aside to "<path>.corrupt-<UTC time>", reported to `sink` (standard error
// when none is given), and decisions start afresh; one that cannot be opened
// otherwise is a PlatformError at each use. Decisions found in the same table
// of `oldStorePath` (the earlier layout) are taken over where this file has none.
class SqliteAccessPrompter : public AccessPrompter {
public:
    explicit SqliteAccessPrompter(std::string path, AccessAsker asker = grantAccess,
                                  std::optional<std::string> oldStorePath = std::nullopt,
                                  std::shared_ptr<DiagnosticSink> sink = nullptr);

    AuthorizationStatus authorizationStatus(const AccessSubject& subject) override;
    bool requestAccess(const AccessSubject& subject) override;
    // Stores a decision, replacing any earlier one.
    void recordDecision(const AccessSubject& subject, AuthorizationStatus status);

private:
    SqliteConnection& connection();  // caller holds mutex_
    SqliteConnection openDecisions();
    std::optional<AuthorizationStatus> stored(const AccessSubject& subject);

    std::string path_;
    AccessAsker asker_;
    std::optional<std::string> oldStorePath_;
    std::shared_ptr<DiagnosticSink> sink_;
    std::mutex mutex_;
    std::optional<SqliteConnection> connection_;
};

}  // namespace app::platform
