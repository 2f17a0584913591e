#include "app/platform/sqlite.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>

#include "app/platform/scratch_dir.hpp"

namespace app::platform {
namespace {

class SqliteTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    SqliteConnection db{dir.file("test.sqlite"), SqliteOpenMode::ReadWriteCreate};
};

TEST_F(SqliteTest, BindsAndReadsEveryKindWithNullGuarded) {
    db.exec("CREATE TABLE t(a TEXT, b INTEGER, c REAL)");
    auto insert = db.prepare("INSERT INTO t VALUES(?, ?, ?)");
    insert.bind(1, std::string_view("x\0y", 3)).bind(2, std::int64_t{1} << 40).bind(3, 2.5).run();
    insert.reset();
    insert.bind(1, std::optional<std::string>()).bind(2, std::optional<std::int64_t>()).bind(3, std::nullopt).run();
    insert.reset();
    insert.bind(1, "").bind(2, 7).run();  // c left unbound: NULL

    auto query = db.prepare("SELECT a, b, c FROM t ORDER BY rowid");
    ASSERT_TRUE(query.step());
    EXPECT_EQ(query.text(0), std::string("x\0y", 3));
    EXPECT_EQ(query.int64(1), std::int64_t{1} << 40);
    EXPECT_EQ(query.real(2), 2.5);
    ASSERT_TRUE(query.step());
    EXPECT_TRUE(query.isNull(0));
    EXPECT_EQ(query.text(0), "");
    EXPECT_EQ(query.optionalText(0), std::nullopt);
    EXPECT_EQ(query.int64(1), 0);
    EXPECT_EQ(query.optionalInt64(1), std::nullopt);
    ASSERT_TRUE(query.step());
    EXPECT_EQ(query.optionalText(0), std::optional<std::string>(""));  // empty text is not NULL
    EXPECT_EQ(query.int32(1), 7);
    EXPECT_TRUE(query.isNull(2));
    EXPECT_FALSE(query.step());
}

TEST_F(SqliteTest, FailuresCarryTheOperationAndSqlitesMessage) {
    try {
        db.prepare("SELEKT 1");
        FAIL();
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.code(), SQLITE_ERROR);
        EXPECT_NE(error.sqliteMessage().find("syntax error"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("prepare SQL on " + dir.file("test.sqlite")), std::string::npos);
    }
    db.exec("CREATE TABLE u(k INTEGER PRIMARY KEY)");
    auto insert = db.prepare("INSERT INTO u VALUES(1)");
    insert.run();
    insert.reset();
    try {
        insert.run();
        FAIL();
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.code() & 0xff, SQLITE_CONSTRAINT);
        EXPECT_NE(error.sqliteMessage().find("UNIQUE"), std::string::npos);
    }
    EXPECT_THROW(db.prepare("SELECT ?").bind(2, 1), SqliteError);  // no such parameter
}

TEST_F(SqliteTest, OpeningAMissingFileReadOnlyFails) {
    try {
        SqliteConnection missing(dir.file("missing.sqlite"), SqliteOpenMode::ReadOnly);
        FAIL();
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.sqliteMessage(), "unable to open database file");
        EXPECT_EQ(error.operation(), "open " + dir.file("missing.sqlite"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.sqlite")));
    // A read-only connection refuses writes.
    db.exec("CREATE TABLE t(a)");
    SqliteConnection reader(dir.file("test.sqlite"), SqliteOpenMode::ReadOnly);
    EXPECT_THROW(reader.exec("INSERT INTO t VALUES(1)"), SqliteError);
}

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

}  // namespace
}  // namespace app::platform
