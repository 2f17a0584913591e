#include "app/platform/sqlite.hpp"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

namespace {

std::string messageOf(sqlite3* db, int code) {
    if (db) return sqlite3_errmsg(db);
    return sqlite3_errstr(code);
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw SqliteError("open " + path, SQLITE_CANTOPEN, why);
}

// Looks at what the path names before SQLite does: SQLite's own open and
// first read would block for good on a FIFO. Makes a missing file, private,
// when it may be made.
void checkBeforeOpening(const std::string& path, SqliteOpenMode mode) {
    const bool writes = mode != SqliteOpenMode::ReadOnly;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (writes ? O_NOFOLLOW : 0));
        if (fd < 0 && errno == ELOOP && writes) refuse(path, "it is a link, not a database file");
        if (fd < 0 && errno == ENOENT && mode == SqliteOpenMode::ReadWriteCreate) {
            fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EEXIST) continue;  // made by another process meanwhile: look again
            if (fd < 0 && errno == ENOENT) return;    // no folder: SQLite says so
        }
        if (fd < 0) return;  // missing or unreadable: SQLite's own open reports it
        struct stat info {};
        const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        ::close(fd);
        if (!regular) refuse(path, "not a regular file");
        break;
    }
    if (!writes) return;
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        struct stat info {};
        if (::lstat((path + suffix).c_str(), &info) == 0 && !S_ISREG(info.st_mode))
            refuse(path, path + suffix + " is not a regular file");
    }
}

int progressCheck(void* check) { return (*static_cast<std::function<bool()>*>(check))() ? 1 : 0; }

// SQLite opens its files blocking, by path, after checkBeforeOpening looked:
// a FIFO swapped in meanwhile would hold the open, or the first read, for
// good. Every file SQLite opens in this process comes through here: opened
// without blocking and kept only when it is a regular file, a folder (SQLite
// opens the folder to sync it) or the system's source of random bytes.
using OpenCall = int (*)(const char*, int, int);
OpenCall systemOpen = nullptr;

int openWithoutBlocking(const char* path, int flags, int mode) {
    const int fd = systemOpen(path, flags | O_NONBLOCK, mode);
    if (fd < 0) return fd;
    struct stat info {};
    const auto kept = [&] {
        return S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) ||
               (S_ISCHR(info.st_mode) && std::strcmp(path, "/dev/urandom") == 0);
    };
    if (::fstat(fd, &info) != 0 || !kept()) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    if (!(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// A reader's VFS: the default one, except that the WAL index lives in this
// connection's memory. SQLite would otherwise make (or write read marks into)
// "<database>-shm" beside the file it only reads, in a folder that is the
// user's. A reader has no need to share the index: SQLite rebuilds it from
// the WAL, so rows only in the WAL are read too.
constexpr const char* kReaderVfsName = "brisolet-reader";

struct ReaderFile {
    sqlite3_file base;
    sqlite3_file* real;  // the default VFS's file, in the same block at kRealOffset
    std::vector<void*>* regions;
    // A database with no WAL beside it: read as a file that does not change,
    // or SQLite would make an empty WAL (and its index) to read it.
    bool immutable;
};
constexpr std::size_t kRealOffset = (sizeof(ReaderFile) + 15) / 16 * 16;

sqlite3_file* realOf(sqlite3_file* file) { return reinterpret_cast<ReaderFile*>(file)->real; }
sqlite3_vfs* realVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

void freeRegions(ReaderFile* file) {
    if (!file->regions) return;
    for (void* region : *file->regions) sqlite3_free(region);
    file->regions->clear();
}

const sqlite3_io_methods kReaderMethods = {
    2,  // no memory-mapped reads
    [](sqlite3_file* f) {
        auto* file = reinterpret_cast<ReaderFile*>(f);
        const int rc = file->real->pMethods ? file->real->pMethods->xClose(file->real) : SQLITE_OK;
        freeRegions(file);
        delete std::exchange(file->regions, nullptr);
        return rc;
    },
    [](sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
        return realOf(f)->pMethods->xRead(realOf(f), buffer, amount, offset);
    },
    [](sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
        return realOf(f)->pMethods->xWrite(realOf(f), buffer, amount, offset);
    },
    [](sqlite3_file* f, sqlite3_int64 size) { return realOf(f)->pMethods->xTruncate(realOf(f), size); },
    [](sqlite3_file* f, int flags) { return realOf(f)->pMethods->xSync(realOf(f), flags); },
    [](sqlite3_file* f, sqlite3_int64* size) { return realOf(f)->pMethods->xFileSize(realOf(f), size); },
    [](sqlite3_file* f, int level) { return realOf(f)->pMethods->xLock(realOf(f), level); },
    [](sqlite3_file* f, int level) { return realOf(f)->pMethods->xUnlock(realOf(f), level); },
    [](sqlite3_file* f, int* held) { return realOf(f)->pMethods->xCheckReservedLock(realOf(f), held); },
    [](sqlite3_file* f, int op, void* arg) { return realOf(f)->pMethods->xFileControl(realOf(f), op, arg); },
    [](sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); },
    [](sqlite3_file* f) {
        return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f)) |
               (reinterpret_cast<ReaderFile*>(f)->immutable ? SQLITE_IOCAP_IMMUTABLE : 0);
    },
    // The index: zeroed regions made on demand; no other process shares them.
    [](sqlite3_file* f, int region, int size, int extend, void volatile** out) {
        auto* file = reinterpret_cast<ReaderFile*>(f);
        *out = nullptr;
        if (!file->regions) return SQLITE_IOERR_SHMMAP;
        if (static_cast<std::size_t>(region) >= file->regions->size()) {
            if (!extend) return SQLITE_OK;
            file->regions->resize(static_cast<std::size_t>(region) + 1, nullptr);
        }
        void*& slot = (*file->regions)[static_cast<std::size_t>(region)];
        if (!slot) {
            slot = sqlite3_malloc(size);
            if (!slot) return SQLITE_NOMEM;
            std::memset(slot, 0, static_cast<std::size_t>(size));
        }
        *out = slot;
        return SQLITE_OK;
    },
    [](sqlite3_file*, int, int, int) { return SQLITE_OK; },
    [](sqlite3_file*) { std::atomic_thread_fence(std::memory_order_seq_cst); },
    [](sqlite3_file* f, int) {
        freeRegions(reinterpret_cast<ReaderFile*>(f));
        return SQLITE_OK;
    },
    nullptr,
    nullptr,
};

int readerOpen(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    auto* file = reinterpret_cast<ReaderFile*>(f);
    file->base.pMethods = nullptr;
    file->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + kRealOffset);
    file->regions = nullptr;
    file->immutable = false;
    bool noWal = false;
    if ((flags & SQLITE_OPEN_MAIN_DB) && name) {
        struct stat info {};
        noWal = ::lstat((std::string(name) + "-wal").c_str(), &info) != 0 && errno == ENOENT;
    }
    sqlite3_vfs* real = realVfs(vfs);
    const int rc = real->xOpen(real, name, file->real, flags, outFlags);
    // Only a database in WAL mode (its header's read version 2) would get
    // an empty WAL made beside it; any other keeps its locks and journal.
    unsigned char version = 0;
    if (rc == SQLITE_OK && noWal && file->real->pMethods)
        file->immutable = file->real->pMethods->xRead(file->real, &version, 1, 18) == SQLITE_OK && version == 2;
    // Closed through us whenever the real file must be closed.
    if (file->real->pMethods) {
        file->regions = new (std::nothrow) std::vector<void*>();
        file->base.pMethods = &kReaderMethods;
    }
    return rc;
}

// Installs the open above and registers the reader's VFS, once.
void prepareSqlite() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_initialize();
        sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
        if (!base) return;
        if (base->iVersion >= 3 && base->xGetSystemCall && base->xSetSystemCall) {
            systemOpen = reinterpret_cast<OpenCall>(base->xGetSystemCall(base, "open"));
            if (systemOpen)
                base->xSetSystemCall(base, "open", reinterpret_cast<sqlite3_syscall_ptr>(&openWithoutBlocking));
        }
        static sqlite3_vfs reader = *base;
        reader.zName = kReaderVfsName;
        reader.pNext = nullptr;
        reader.pAppData = base;
        // Each file: ours, then the default VFS's, aligned for it.
        reader.szOsFile = static_cast<int>(kRealOffset) + base->szOsFile;
        reader.xOpen = readerOpen;
        reader.xDelete = [](sqlite3_vfs* v, const char* n, int sync) { return realVfs(v)->xDelete(realVfs(v), n, sync); };
        reader.xAccess = [](sqlite3_vfs* v, const char* n, int flags, int* out) {
            return realVfs(v)->xAccess(realVfs(v), n, flags, out);
        };
        reader.xFullPathname = [](sqlite3_vfs* v, const char* n, int size, char* out) {
            return realVfs(v)->xFullPathname(realVfs(v), n, size, out);
        };
        reader.xDlOpen = [](sqlite3_vfs* v, const char* n) { return realVfs(v)->xDlOpen(realVfs(v), n); };
        reader.xDlError = [](sqlite3_vfs* v, int size, char* out) { realVfs(v)->xDlError(realVfs(v), size, out); };
        reader.xDlSym = [](sqlite3_vfs* v, void* h, const char* n) { return realVfs(v)->xDlSym(realVfs(v), h, n); };
        reader.xDlClose = [](sqlite3_vfs* v, void* h) { realVfs(v)->xDlClose(realVfs(v), h); };
        reader.xRandomness = [](sqlite3_vfs* v, int size, char* out) {
            return realVfs(v)->xRandomness(realVfs(v), size, out);
        };
        reader.xSleep = [](sqlite3_vfs* v, int us) { return realVfs(v)->xSleep(realVfs(v), us); };
        reader.xCurrentTime = [](sqlite3_vfs* v, double* out) { return realVfs(v)->xCurrentTime(realVfs(v), out); };
        reader.xGetLastError = [](sqlite3_vfs* v, int size, char* out) {
            return realVfs(v)->xGetLastError(realVfs(v), size, out);
        };
        reader.iVersion = 2;
        reader.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* out) {
            return realVfs(v)->xCurrentTimeInt64(realVfs(v), out);
        };
        sqlite3_vfs_register(&reader, 0);
    });
}

}  // namespace

SqliteError::SqliteError(std::string operation, int code, std::string sqliteMessage)
    : PlatformError(std::move(operation), sqliteMessage), code_(code), sqliteMessage_(std::move(sqliteMessage)) {}

// Connection

SqliteConnection::SqliteConnection(const std::string& path, SqliteOpenMode mode,
                                   std::chrono::milliseconds busyTimeout)
    : path_(path) {
    int flags = 0;
    switch (mode) {
    case SqliteOpenMode::ReadOnly: flags = SQLITE_OPEN_READONLY; break;
    case SqliteOpenMode::ReadWrite: flags = SQLITE_OPEN_READWRITE; break;
    case SqliteOpenMode::ReadWriteCreate: flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE; break;
    }
    prepareSqlite();
    checkBeforeOpening(path, mode);
    if (mode != SqliteOpenMode::ReadOnly) flags |= SQLITE_OPEN_NOFOLLOW;
    // Not a URI: a path holding '?' or '#' stays a path. A reader changes
    // nothing beside the file, not even the WAL index.
    int code = sqlite3_open_v2(path.c_str(), &db_, flags,
                               mode == SqliteOpenMode::ReadOnly && sqlite3_vfs_find(kReaderVfsName) ? kReaderVfsName
                                                                                                   : nullptr);
    if (code != SQLITE_OK) {
        std::string message = messageOf(db_, code);
        sqlite3_close(db_);  // a handle is given even on failure
        db_ = nullptr;
        throw SqliteError("open " + path, code, message);
    }
    sqlite3_extended_result_codes(db_, 1);
    // Files may come from elsewhere: their schema runs no functions with side effects.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // A reader never folds the WAL into the file as it closes.
    if (mode == SqliteOpenMode::ReadOnly) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    auto ms = busyTimeout.count();
    sqlite3_busy_timeout(db_, ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms));
}

SqliteConnection::~SqliteConnection() {
    // Statements are finalized by their own destructors; close_v2 waits for
    // any that outlive the connection rather than leaking the handle.
    if (db_) sqlite3_close_v2(db_);
}

SqliteConnection::SqliteConnection(SqliteConnection&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      path_(std::move(other.path_)),
      interruptCheck_(std::move(other.interruptCheck_)) {}

SqliteConnection& SqliteConnection::operator=(SqliteConnection&& other) noexcept {
    if (this != &other) {
        if (db_) sqlite3_close_v2(db_);
        db_ = std::exchange(other.db_, nullptr);
        path_ = std::move(other.path_);
        interruptCheck_ = std::move(other.interruptCheck_);
    }
    return *this;
}

void SqliteConnection::exec(std::string_view sql) {
    std::string text(sql);
    char* error = nullptr;
    int code = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error);
    if (code != SQLITE_OK) {
        std::string message = error ? error : messageOf(db_, code);
        sqlite3_free(error);
        throw SqliteError("execute SQL on " + path_, code, message);
    }
}

SqliteStatement SqliteConnection::prepare(std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    if (sql.size() > 0x7fffffff) throw SqliteError("prepare SQL on " + path_, SQLITE_TOOBIG, "statement too long");
    int code = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
    if (code != SQLITE_OK) {
        sqlite3_finalize(statement);
        throw SqliteError("prepare SQL on " + path_, code, messageOf(db_, code));
    }
    return SqliteStatement(db_, statement, std::string(sql));
}

void SqliteConnection::setInterruptCheck(std::function<bool()> shouldStop) {
    if (!shouldStop) {
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        interruptCheck_.reset();
        return;
    }
    interruptCheck_ = std::make_unique<std::function<bool()>>(std::move(shouldStop));
    sqlite3_progress_handler(db_, 4096, progressCheck, interruptCheck_.get());
}

std::int64_t SqliteConnection::lastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }
int SqliteConnection::changes() const { return sqlite3_changes(db_); }
std::string SqliteConnection::errorMessage() const { return db_ ? sqlite3_errmsg(db_) : "no connection"; }

// Statement

SqliteStatement::SqliteStatement(sqlite3* db, sqlite3_stmt* statement, std::string sql)
    : db_(db), statement_(statement), sql_(std::move(sql)) {}

SqliteStatement::~SqliteStatement() {
    if (statement_) sqlite3_finalize(statement_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      statement_(std::exchange(other.statement_, nullptr)),
      sql_(std::move(other.sql_)) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
    if (this != &other) {
        if (statement_) sqlite3_finalize(statement_);
        db_ = std::exchange(other.db_, nullptr);
        statement_ = std::exchange(other.statement_, nullptr);
        sql_ = std::move(other.sql_);
    }
    return *this;
}

void SqliteStatement::fail(const std::string& operation, int code) const {
    throw SqliteError(operation, code, messageOf(db_, code));
}

void SqliteStatement::checkBind(int index, int code) const {
    if (code != SQLITE_OK) fail("bind parameter " + std::to_string(index), code);
}

SqliteStatement& SqliteStatement::bind(int index, std::string_view text) {
    // An empty view may have a null data pointer, which SQLite reads as NULL.
    static const char empty = '\0';
    const char* data = text.empty() ? &empty : text.data();
    checkBind(index, sqlite3_bind_text64(statement_, index, data, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, std::int64_t value) {
    checkBind(index, sqlite3_bind_int64(statement_, index, value));
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, double value) {
    checkBind(index, sqlite3_bind_double(statement_, index, value));
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, std::nullopt_t) {
    checkBind(index, sqlite3_bind_null(statement_, index));
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, const std::optional<std::string>& text) {
    return text ? bind(index, std::string_view(*text)) : bind(index, std::nullopt);
}

SqliteStatement& SqliteStatement::bind(int index, const std::optional<std::int64_t>& value) {
    return value ? bind(index, *value) : bind(index, std::nullopt);
}

bool SqliteStatement::step() {
    int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) return false;
    // sqlite3_errmsg holds the step's own message once the statement has been reset.
    std::string message = messageOf(db_, code);
    sqlite3_reset(statement_);
    throw SqliteError("step SQL statement", code, message);
}

void SqliteStatement::run() {
    while (step()) {
    }
}

void SqliteStatement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

int SqliteStatement::columnCount() const { return sqlite3_column_count(statement_); }

bool SqliteStatement::isNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::string SqliteStatement::text(int column) const {
    const unsigned char* data = sqlite3_column_text(statement_, column);
    if (!data) return {};
    int size = sqlite3_column_bytes(statement_, column);
    return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::optional<std::string> SqliteStatement::optionalText(int column) const {
    if (isNull(column)) return std::nullopt;
    return text(column);
}

std::int64_t SqliteStatement::int64(int column) const { return sqlite3_column_int64(statement_, column); }
int SqliteStatement::int32(int column) const { return sqlite3_column_int(statement_, column); }

std::optional<std::int64_t> SqliteStatement::optionalInt64(int column) const {
    if (isNull(column)) return std::nullopt;
    return int64(column);
}

double SqliteStatement::real(int column) const { return sqlite3_column_double(statement_, column); }

// Transaction

SqliteTransaction::SqliteTransaction(SqliteConnection& connection, Kind kind) : connection_(connection) {
    connection_.exec(kind == Kind::Immediate ? "BEGIN IMMEDIATE" : "BEGIN");
}

SqliteTransaction::~SqliteTransaction() {
    if (!open_) return;
    try {
        connection_.exec("ROLLBACK");
    } catch (const SqliteError&) {
        // The failure that brought us here may already have rolled it back.
    }
}

void SqliteTransaction::commit() {
    connection_.exec("COMMIT");
    open_ = false;
}

// Migrations

void applyMigrations(SqliteConnection& connection, std::string_view component,
                     std::span<const std::string_view> steps) {
    SqliteTransaction transaction(connection);
    connection.exec(
        "CREATE TABLE IF NOT EXISTS schema_versions("
        "component TEXT PRIMARY KEY NOT NULL, version INTEGER NOT NULL)");
    auto read = connection.prepare("SELECT version FROM schema_versions WHERE component = ?");
    read.bind(1, component);
    std::int64_t version = read.step() ? read.int64(0) : 0;
    auto known = static_cast<std::int64_t>(steps.size());
    if (version > known || version < 0) {
        throw PlatformError("migrate " + std::string(component) + " tables in " + connection.path(),
                            "the database has schema version " + std::to_string(version) +
                                ", newer than this program knows (" + std::to_string(known) + ")");
    }
    if (version == known) return;  // the transaction only read; rolling back is fine
    for (auto i = static_cast<std::size_t>(version); i < steps.size(); ++i) connection.exec(steps[i]);
    auto write = connection.prepare(
        "INSERT INTO schema_versions(component, version) VALUES(?, ?) "
        "ON CONFLICT(component) DO UPDATE SET version = excluded.version");
    write.bind(1, component).bind(2, known).run();
    transaction.commit();
}

}  // namespace app::platform
