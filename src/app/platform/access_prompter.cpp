#include "app/platform/access_prompter.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/platform/stamped_file.hpp"
#include "app/platform/store_database.hpp"

namespace app::platform {

namespace {

constexpr std::array<std::string_view, 1> decisionMigrations = {
    "CREATE TABLE access_decisions("
    " entity INTEGER NOT NULL,"
    " application TEXT NOT NULL,"
    " status INTEGER NOT NULL,"
    " PRIMARY KEY(entity, application))",
};

std::string describe(const AccessSubject& subject) {
    switch (subject.entity) {
    case AccessEntity::Events: return "calendar access";
    case AccessEntity::Reminders: return "reminders access";
    case AccessEntity::Contacts: return "contacts access";
    case AccessEntity::Automation: return "automation of " + subject.application;
    }
    return "access";
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

bool grantAccess(const AccessSubject&) { return true; }

// SqliteAccessPrompter

SqliteAccessPrompter::SqliteAccessPrompter(std::string path, AccessAsker asker, std::optional<std::string> oldStorePath,
                                           std::shared_ptr<DiagnosticSink> sink)
    : path_(std::move(path)),
      asker_(std::move(asker)),
      oldStorePath_(std::move(oldStorePath)),
      sink_(sink ? std::move(sink) : std::make_shared<StderrDiagnosticSink>()) {}

SqliteConnection SqliteAccessPrompter::openDecisions() {
    struct stat found {};
    const bool exists = ::lstat(path_.c_str(), &found) == 0;
    try {
        return openStoreDatabase(path_, "access decisions", "access_decisions", decisionMigrations);
    } catch (const UnusableStoreFile& error) {
        // Only the file found broken goes aside, not one another process made afresh meanwhile.
        struct stat now {};
        if (!exists || ::lstat(path_.c_str(), &now) != 0 || !sameFile(found, now)) throw;
        const std::string base = path_ + ".corrupt-" + utcStamp();
        std::string aside;
        int failure = EEXIST;
        for (int attempt = 0; attempt < 100 && failure == EEXIST; ++attempt) {
            aside = attempt == 0 ? base : base + "-" + std::to_string(attempt);
            failure = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
        }
        if (failure)
            throw PlatformError(error.operation(), error.cause() + "; cannot be moved aside: " + std::strerror(failure));
        // Its log belongs to it: left in place it would be read into the fresh file.
        ::renameat2(AT_FDCWD, (path_ + "-wal").c_str(), AT_FDCWD, (aside + "-wal").c_str(), RENAME_NOREPLACE);
        ::unlink((path_ + "-shm").c_str());
        sink_->write("Access decisions: " + path_ + " is not usable (" + error.cause() + "); moved aside to " + aside +
                     ", starting afresh");
    }
    return openStoreDatabase(path_, "access decisions", "access_decisions", decisionMigrations);
}

SqliteConnection& SqliteAccessPrompter::connection() {
    if (connection_) return *connection_;
    SqliteConnection db = openDecisions();
    if (oldStorePath_ && std::filesystem::is_regular_file(*oldStorePath_)) {
        // Decisions made under the earlier layout stand; newer ones win.
        try {
            db.prepare("ATTACH DATABASE ? AS old").bind(1, *oldStorePath_).run();
            bool present = false;
            {
                auto has = db.prepare(
                    "SELECT count(*) FROM old.sqlite_master WHERE type = 'table' AND name = 'access_decisions'");
                present = has.step() && has.int64(0) == 1;
            }
            if (present)
                db.exec("INSERT OR IGNORE INTO access_decisions(entity, application, status) "
                        "SELECT entity, application, status FROM old.access_decisions");
            db.exec("DETACH DATABASE old");
        } catch (const SqliteError&) {
            // An unreadable old store keeps nothing from us: decisions are asked again.
        }
    }
    connection_.emplace(std::move(db));
    return *connection_;
}

std::optional<AuthorizationStatus> SqliteAccessPrompter::stored(const AccessSubject& subject) {
    auto query = connection().prepare("SELECT status FROM access_decisions WHERE entity = ? AND application = ?");
    query.bind(1, static_cast<int>(subject.entity)).bind(2, subject.application);
    if (!query.step()) return std::nullopt;
    return static_cast<AuthorizationStatus>(query.int32(0));
}

AuthorizationStatus SqliteAccessPrompter::authorizationStatus(const AccessSubject& subject) {
    std::lock_guard lock(mutex_);
    try {
        return stored(subject).value_or(AuthorizationStatus::NotDetermined);
    } catch (const SqliteError& error) {
        throw PlatformError("read the decision on " + describe(subject), error.sqliteMessage());
    }
}

bool SqliteAccessPrompter::requestAccess(const AccessSubject& subject) {
    AuthorizationStatus status = authorizationStatus(subject);
    if (status != AuthorizationStatus::NotDetermined) return status == AuthorizationStatus::FullAccess;
    bool granted = asker_(subject);  // never under the lock: it may wait for the user
    std::lock_guard lock(mutex_);
    try {
        // Of two questions asked at once the first answer recorded stands.
        auto insert = connection().prepare(
            "INSERT INTO access_decisions(entity, application, status) VALUES(?, ?, ?) "
            "ON CONFLICT(entity, application) DO UPDATE SET status = excluded.status "
            "WHERE access_decisions.status = 0");
        insert.bind(1, static_cast<int>(subject.entity))
            .bind(2, subject.application)
            .bind(3, static_cast<int>(granted ? AuthorizationStatus::FullAccess : AuthorizationStatus::Denied))
            .run();
        return stored(subject) == AuthorizationStatus::FullAccess;
    } catch (const SqliteError& error) {
        throw PlatformError("record the decision on " + describe(subject), error.sqliteMessage());
    }
}

void SqliteAccessPrompter::recordDecision(const AccessSubject& subject, AuthorizationStatus status) {
    std::lock_guard lock(mutex_);
    try {
        auto upsert = connection().prepare(
            "INSERT INTO access_decisions(entity, application, status) VALUES(?, ?, ?) "
            "ON CONFLICT(entity, application) DO UPDATE SET status = excluded.status");
        upsert.bind(1, static_cast<int>(subject.entity))
            .bind(2, subject.application)
            .bind(3, static_cast<int>(status))
            .run();
    } catch (const SqliteError& error) {
        throw PlatformError("record the decision on " + describe(subject), error.sqliteMessage());
    }
}

}  // namespace app::platform
