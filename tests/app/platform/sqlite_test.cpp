#include "app/platform/sqlite.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <filesystem>

#include <sys/stat.h>

#include "app/platform/scratch_dir.hpp"

namespace app::platform {
namespace {
class SqliteTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    SqliteConnection db{dir.file("test.sqlite"), SqliteOpenMode::ReadWriteCreate};
};

TEST_F(SqliteTest, TransactionsRollBackUnlessCommitted) {
    db.exec("CREATE TABLE t(a)");
    try {
        SqliteTransaction transaction(db);
        db.exec("INSERT INTO t VALUES(1)");
        throw std::runtime_error("abandon");
    } catch (const std::runtime_error&) {
    }
    {
        SqliteTransaction transaction(db);
        db.exec("INSERT INTO t VALUES(2)");
        transaction.commit();
    }
    auto count = db.prepare("SELECT group_concat(a) FROM t");
    ASSERT_TRUE(count.step());
    EXPECT_EQ(count.text(0), "2");
}

TEST_F(SqliteTest, MigrationsRunOnceAndAllOrNothing) {
    const std::array<std::string_view, 2> steps = {"CREATE TABLE a(x)", "CREATE TABLE b(y)"};
    applyMigrations(db, "demo", std::span(steps).first(1));
    applyMigrations(db, "demo", steps);
    applyMigrations(db, "demo", steps);  // nothing left to do
    auto version = db.prepare("SELECT version FROM schema_versions WHERE component = 'demo'");
    ASSERT_TRUE(version.step());
    EXPECT_EQ(version.int64(0), 2);

    const std::array<std::string_view, 2> broken = {"CREATE TABLE c(z)", "CREATE TABLE a(x)"};
    EXPECT_THROW(applyMigrations(db, "other", broken), SqliteError);
    auto tables = db.prepare("SELECT count(*) FROM sqlite_master WHERE name = 'c'");
    ASSERT_TRUE(tables.step());
    EXPECT_EQ(tables.int64(0), 0);  // the first step was rolled back with the second

    const std::array<std::string_view, 1> older = {"CREATE TABLE a(x)"};
    EXPECT_THROW(applyMigrations(db, "demo", older), PlatformError);  // the file is newer
}

// What a path may hold in a database's place: nothing blocks, nothing is
// written through a link, a file made is private.
TEST(SqliteFiles, OnlyRegularFilesAreOpenedAndLinksNeverWritten) {
    const mode_t oldMask = ::umask(022);
    testsupport::ScratchDir dir;
    const std::string outside = dir.file("outside");
    enum class Plant { Nothing, Fifo, LinkToFile, LinkAsLog, LinkToDatabase };
    struct Row {
        const char* what;
        Plant plant;
        SqliteOpenMode mode;
        std::string error;  // "" when it opens
    };
    const Row rows[] = {
        {"a FIFO read", Plant::Fifo, SqliteOpenMode::ReadOnly, "not a regular file"},
        {"a FIFO written", Plant::Fifo, SqliteOpenMode::ReadWriteCreate, "not a regular file"},
        {"a link written", Plant::LinkToFile, SqliteOpenMode::ReadWriteCreate, "it is a link, not a database file"},
        {"a link as its log", Plant::LinkAsLog, SqliteOpenMode::ReadWrite, "-wal is not a regular file"},
        {"a link read", Plant::LinkToDatabase, SqliteOpenMode::ReadOnly, ""},
        {"nothing there", Plant::Nothing, SqliteOpenMode::ReadWriteCreate, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = dir.file(std::string(row.what) + ".sqlite");
        testsupport::writeFile(outside, "keep");
        switch (row.plant) {
        case Plant::Nothing: break;
        case Plant::Fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
        case Plant::LinkToFile: std::filesystem::create_symlink(outside, path); break;
        case Plant::LinkAsLog:
            SqliteConnection(path, SqliteOpenMode::ReadWriteCreate).exec("PRAGMA journal_mode=WAL; CREATE TABLE t(a)");
            std::filesystem::create_symlink(outside, path + "-wal");
            break;
        case Plant::LinkToDatabase:
            SqliteConnection(path + ".real", SqliteOpenMode::ReadWriteCreate).exec("CREATE TABLE t(a)");
            std::filesystem::create_symlink(path + ".real", path);
            break;
        }
        try {
            SqliteConnection db(path, row.mode);
            db.prepare("SELECT count(*) FROM sqlite_master").run();
            EXPECT_EQ(row.error, "");
        } catch (const SqliteError& error) {
            EXPECT_NE(row.error, "");
            EXPECT_NE(error.sqliteMessage().find(row.error), std::string::npos) << error.sqliteMessage();
        }
        EXPECT_EQ(testsupport::readFile(outside), "keep");
        struct stat info {};
        if (row.plant == Plant::Nothing) {
            ASSERT_EQ(::stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
        }
    }
    ::umask(oldMask);
}

}  // namespace
}  // namespace app::platform
