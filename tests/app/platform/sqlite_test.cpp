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
