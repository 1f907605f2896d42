#include "tags/sqlite_tag_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace kv::tags {
namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS tags(server TEXT NOT NULL COLLATE NOCASE, tag TEXT NOT NULL COLLATE NOCASE,"
    " value, quality INTEGER NOT NULL DEFAULT 192, time REAL NOT NULL DEFAULT 0,"
    " units TEXT NOT NULL DEFAULT '', writes INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(server, tag)) WITHOUT ROWID;"
    // The history of a tag is a ring of slots next to each other in the file: a write overwrites
    // the slot of its sequence number (the tag's count of writes) modulo the ring's size, so it
    // touches one page and never walks or deletes older rows.
    "CREATE TABLE IF NOT EXISTS tag_history(server TEXT NOT NULL COLLATE NOCASE, tag TEXT NOT NULL COLLATE NOCASE,"
    " slot INTEGER NOT NULL, seq INTEGER NOT NULL, value, quality INTEGER NOT NULL, time REAL NOT NULL,"
    " PRIMARY KEY(server, tag, slot)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS servers(server TEXT PRIMARY KEY COLLATE NOCASE, online INTEGER NOT NULL)"
    " WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS spool(id INTEGER PRIMARY KEY AUTOINCREMENT, server TEXT NOT NULL,"
    " tag TEXT NOT NULL, value, quality INTEGER NOT NULL, time REAL NOT NULL);";

void Bind(sqlite3_stmt* s, int i, const TagValue& v) {
  if (const auto* n = std::get_if<int64_t>(&v)) sqlite3_bind_int64(s, i, *n);
  else if (const auto* d = std::get_if<double>(&v)) sqlite3_bind_double(s, i, *d);
  else if (const auto* t = std::get_if<std::string>(&v)) sqlite3_bind_text(s, i, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
  else sqlite3_bind_null(s, i);
}

void Bind(sqlite3_stmt* s, int i, const std::string& text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The columns of a statement's current row, read from left to right.
class RowReader {
 public:
  explicit RowReader(sqlite3_stmt* s) : s_(s) {}

  int64_t Int64() { return sqlite3_column_int64(s_, next_++); }

  std::string Text() { return TextAt(next_++); }

  TagValue Value() {
    const int i = next_++;
    switch (sqlite3_column_type(s_, i)) {
      case SQLITE_INTEGER: return TagValue(static_cast<int64_t>(sqlite3_column_int64(s_, i)));
      case SQLITE_FLOAT: return TagValue(sqlite3_column_double(s_, i));
      case SQLITE_TEXT:
      case SQLITE_BLOB: return TagValue(TextAt(i));
      default: return TagValue();
    }
  }

  // The value, quality and time columns, which every table of samples and writes keeps side by
  // side, into the members of those names.
  template <class Row>
  void ValueQualityTime(Row* row) {
    row->value = Value();
    row->quality = sqlite3_column_int(s_, next_++);
    row->time = sqlite3_column_double(s_, next_++);
  }

  // A sample as the tags table keeps it: value, quality, time, units.
  void Sample(TagSample* sample) {
    ValueQualityTime(sample);
    sample->units = Text();
  }

 private:
  std::string TextAt(int i) {
    const char* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, i));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, i))) : std::string();
  }

  sqlite3_stmt* s_;
  int next_ = 0;
};

// Steps `s` through all its rows and gives what `read` (called with a RowReader of each row)
// makes of them, in order. A failing step ends the rows as their end does.
template <class Read>
auto ReadRows(sqlite3_stmt* s, Read read) {
  std::vector<std::invoke_result_t<Read&, RowReader&>> rows;
  while (sqlite3_step(s) == SQLITE_ROW) {
    RowReader row(s);
    rows.push_back(read(row));
  }
  return rows;
}

// Resets a statement when the scope ends, so the next use starts clean.
// The spool rows `s` (id, server, tag, value, quality, time) gives, in its order.
std::vector<SpoolRow> ReadSpoolRows(sqlite3_stmt* s) {
  return ReadRows(s, [](RowReader& row) {
    SpoolRow r;
    r.id = row.Int64();
    r.write.server = row.Text();
    r.write.tag = row.Text();
    row.ValueQualityTime(&r.write);
    return r;
  });
}

struct Use {
  explicit Use(sqlite3_stmt* s) : s(s) {}
  ~Use() {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
  sqlite3_stmt* s;
};

// A write's server, tag, value, quality and time as the first five parameters of `s`.
void BindWrite(sqlite3_stmt* s, const TagWrite& w) {
  Bind(s, 1, w.server);
  Bind(s, 2, w.tag);
  Bind(s, 3, w.value);
  sqlite3_bind_int(s, 4, w.quality);
  sqlite3_bind_double(s, 5, w.time);
}

}  // namespace

const char* TagStatusText(TagStatus status) {
  switch (status) {
    case TagStatus::kOk: return "";
    case TagStatus::kNoSuchTag: return "no such tag";
    case TagStatus::kServerOffline: return "server offline";
    case TagStatus::kSpooled: return "spooled for forwarding";
    case TagStatus::kStoreError: return "tag store error";
  }
  return "tag store error";
}

struct SqliteTagStore::Statements {
  sqlite3_stmt* read = nullptr;
  sqlite3_stmt* update = nullptr;
  sqlite3_stmt* upsert = nullptr;
  sqlite3_stmt* history = nullptr;
  sqlite3_stmt* online = nullptr;
  sqlite3_stmt* setOnline = nullptr;
  sqlite3_stmt* spoolAdd = nullptr;
  sqlite3_stmt* spoolList = nullptr;
  sqlite3_stmt* spoolDelete = nullptr;
  sqlite3_stmt* list = nullptr;
  sqlite3_stmt* listAll = nullptr;
  sqlite3_stmt* historyList = nullptr;
  sqlite3_stmt* remove = nullptr;
  sqlite3_stmt* removeHistory = nullptr;
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* commit = nullptr;
  sqlite3_stmt* spoolOfTag = nullptr;
  sqlite3_stmt* beginWrite = nullptr;
  sqlite3_stmt* rollback = nullptr;
  sqlite3_stmt* savepoint = nullptr;
  sqlite3_stmt* release = nullptr;
  sqlite3_stmt* rollbackTo = nullptr;

  static constexpr int kCount = 22;
  sqlite3_stmt** All[kCount] = {&read,       &update,        &upsert,   &history,    &online,     &setOnline,
                                &spoolAdd,   &spoolList,     &spoolDelete, &list,    &listAll,    &historyList,
                                &remove,     &removeHistory, &begin,    &commit,     &spoolOfTag, &beginWrite,
                                &rollback,   &savepoint,     &release,  &rollbackTo};
  ~Statements() {
    for (sqlite3_stmt** s : All) sqlite3_finalize(*s);
  }
};

SqliteTagStore::SqliteTagStore(sqlite3* db, int historyPerTag)
    : db_(db), historyPerTag_(historyPerTag < 1 ? 1 : historyPerTag), st_(std::make_unique<Statements>()) {}

SqliteTagStore::~SqliteTagStore() {
  st_.reset();
  sqlite3_close(db_);
}

namespace {

// SQLite creates a database 0644 (less the umask) and gives its -wal and -shm files the
// database's own mode. Tag values are the plant's: made here first, 0640 like every file the
// server writes, the three are the server's user and group only. A file of ours left wider by
// an older build is narrowed.
void PrepareFileModes(const std::string& path) {
  constexpr mode_t kMode = 0640;
  if (path.empty() || path[0] == ':' || path.rfind("file:", 0) == 0) return;  // in memory, or a URI
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kMode);
  if (fd < 0) return;  // SQLite's open reports why
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & ~kMode & 0777) != 0)
    fchmod(fd, st.st_mode & kMode);
  ::close(fd);
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string side = path + suffix;
    if (stat(side.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & ~kMode & 0777) != 0)
      chmod(side.c_str(), st.st_mode & kMode);
  }
}

}  // namespace

std::unique_ptr<SqliteTagStore> SqliteTagStore::Open(const std::string& path, std::string* error, int historyPerTag) {
  PrepareFileModes(path);
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<SqliteTagStore> store(new SqliteTagStore(db, historyPerTag));
  sqlite3_busy_timeout(db, 5000);
  if (!store->Exec("PRAGMA journal_mode=WAL") || !store->Exec("PRAGMA synchronous=NORMAL") ||
      !store->Exec(kSchema) || !store->Migrate() || !store->Prepare(error)) {
    if (error->empty()) *error = store->lastError_;
    return nullptr;
  }
  return store;
}

bool SqliteTagStore::Exec(const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  lastError_ = msg ? msg : sqlite3_errmsg(db_);
  sqlite3_free(msg);
  return false;
}

bool SqliteTagStore::Prepare(std::string* error) {
  const char* const sql[Statements::kCount] = {
      "SELECT value, quality, time, units FROM tags WHERE server=?1 AND tag=?2",
      "UPDATE tags SET value=?3, quality=?4, time=?5, writes=writes+1 WHERE server=?1 AND tag=?2 RETURNING writes",
      "INSERT INTO tags(server, tag, value, quality, time, units) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"
      " ON CONFLICT(server, tag) DO UPDATE SET value=excluded.value, quality=excluded.quality,"
      " time=excluded.time, units=CASE WHEN excluded.units<>'' THEN excluded.units ELSE units END",
      "INSERT INTO tag_history(server, tag, value, quality, time, seq, slot) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"
      " ON CONFLICT(server, tag, slot) DO UPDATE SET seq=excluded.seq, value=excluded.value,"
      " quality=excluded.quality, time=excluded.time",
      "SELECT online FROM servers WHERE server=?1",
      "INSERT INTO servers(server, online) VALUES(?1, ?2) ON CONFLICT(server) DO UPDATE SET online=excluded.online",
      "INSERT INTO spool(server, tag, value, quality, time) VALUES(?1, ?2, ?3, ?4, ?5)",
      "SELECT id, server, tag, value, quality, time FROM spool ORDER BY id",
      "DELETE FROM spool WHERE id=?1",
      "SELECT server, tag, value, quality, time, units FROM tags WHERE server=?1 ORDER BY server, tag",
      "SELECT server, tag, value, quality, time, units FROM tags ORDER BY server, tag",
      "SELECT seq, value, quality, time FROM (SELECT seq, value, quality, time FROM tag_history"
      " WHERE server=?1 AND tag=?2 ORDER BY seq DESC LIMIT ?3) ORDER BY seq",
      "DELETE FROM tags WHERE server=?1 AND tag=?2",
      "DELETE FROM tag_history WHERE server=?1 AND tag=?2",
      "BEGIN",
      "COMMIT",
      "SELECT id, server, tag, value, quality, time FROM spool WHERE server=?1 AND tag=?2 ORDER BY id",
      "BEGIN IMMEDIATE",
      "ROLLBACK",
      "SAVEPOINT one_call",
      "RELEASE one_call",
      "ROLLBACK TO one_call",
  };
  for (int i = 0; i < Statements::kCount; ++i) {
    if (sqlite3_prepare_v3(db_, sql[i], -1, SQLITE_PREPARE_PERSISTENT, st_->All[i], nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
  }
  return true;
}

bool SqliteTagStore::Migrate() {
  // A database made before the tags counted their writes gets the column; one whose history was
  // a table of rows with their own ids gets them in the ring, numbered per tag in write order.
  bool hasWrites = false;
  {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT 1 FROM pragma_table_info('tags') WHERE name='writes'", -1, &s, nullptr) !=
        SQLITE_OK) {
      lastError_ = sqlite3_errmsg(db_);
      return false;
    }
    hasWrites = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
  }
  if (!hasWrites && !Exec("ALTER TABLE tags ADD COLUMN writes INTEGER NOT NULL DEFAULT 0")) return false;
  bool oldHistory = false;
  {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_schema WHERE type='table' AND name='history'", -1, &s,
                           nullptr) != SQLITE_OK) {
      lastError_ = sqlite3_errmsg(db_);
      return false;
    }
    oldHistory = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
  }
  const std::string n = std::to_string(historyPerTag_);
  std::string sql = "BEGIN IMMEDIATE;";
  if (oldHistory)
    sql +=
        "INSERT OR REPLACE INTO tag_history(server, tag, slot, seq, value, quality, time)"
        " SELECT server, tag, rn % " + n + ", rn, value, quality, time FROM (SELECT server, tag, value, quality, time,"
        " row_number() OVER (PARTITION BY server, tag ORDER BY id) AS rn FROM history) ORDER BY rn;"
        "UPDATE tags SET writes=coalesce((SELECT max(seq) FROM tag_history h WHERE h.server=tags.server"
        " AND h.tag=tags.tag), 0);"
        "DROP TABLE history;";
  // A ring made smaller since the last open: the slots beyond it go. The database's user version
  // keeps the ring's size, so an open of the same size does not look through the history.
  int size = 0;
  {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
      size = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
  }
  if (size != historyPerTag_ || oldHistory)
    sql += "DELETE FROM tag_history WHERE slot >= " + n + ";PRAGMA user_version=" + n + ";";
  sql += "COMMIT;";
  if (Exec(sql.c_str())) return true;
  Exec("ROLLBACK");
  return false;
}

bool SqliteTagStore::OnlineLocked(const std::string& server) {
  Use u(st_->online);
  Bind(u.s, 1, server);
  if (sqlite3_step(u.s) != SQLITE_ROW) return true;
  return sqlite3_column_int(u.s, 0) != 0;
}

bool SqliteTagStore::OnlineCachedLocked(const std::string& server) {
  // The version moves with every commit, of this connection or another process (the tag tool
  // switching a server), and is current for the read transaction the caller's statement holds.
  unsigned version = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &version) != SQLITE_OK) return OnlineLocked(server);
  if (version != onlineVersion_ || onlineCache_.size() > 1024) {
    onlineCache_.clear();
    onlineVersion_ = version;
  }
  std::string key(server);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');  // NOCASE folds ASCII only
  auto it = onlineCache_.find(key);
  if (it == onlineCache_.end()) it = onlineCache_.emplace(std::move(key), OnlineLocked(server)).first;
  return it->second;
}

TagStatus SqliteTagStore::Read(const std::string& server, const std::string& tag, TagSample* out) {
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  return ReadLocked(server, tag, out);
}

void SqliteTagStore::ReadMany(const std::vector<TagKey>& keys, std::vector<TagSample>* out,
                              std::vector<TagStatus>* status) {
  out->assign(keys.size(), TagSample());
  status->assign(keys.size(), TagStatus::kOk);
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  // One read transaction: the samples are of one moment, and the file locks are taken once.
  // Every other call holds mu_ and ends its own transaction; the one transaction left open is
  // this thread's batch, which the reads see into (a run's inputs include its pass's outputs).
  const bool grouped = keys.size() > 1 && sqlite3_get_autocommit(db_) && Step(st_->begin);
  for (size_t i = 0; i < keys.size(); ++i) (*status)[i] = ReadLocked(*keys[i].server, *keys[i].tag, &(*out)[i]);
  if (grouped && !Step(st_->commit)) Step(st_->rollback);
}

TagStatus SqliteTagStore::ReadLocked(const std::string& server, const std::string& tag, TagSample* out) {
  Use u(st_->read);
  // The strings outlive the statement's use: no copies.
  sqlite3_bind_text(u.s, 1, server.data(), static_cast<int>(server.size()), SQLITE_STATIC);
  sqlite3_bind_text(u.s, 2, tag.data(), static_cast<int>(tag.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(u.s);
  if (rc == SQLITE_DONE) return OnlineLocked(server) ? TagStatus::kNoSuchTag : TagStatus::kServerOffline;
  if (rc != SQLITE_ROW) {
    lastError_ = sqlite3_errmsg(db_);
    return TagStatus::kStoreError;
  }
  if (!OnlineCachedLocked(server)) return TagStatus::kServerOffline;
  RowReader(u.s).Sample(out);
  return TagStatus::kOk;
}

TagStatus SqliteTagStore::ApplyLocked(const TagWrite& w, bool* failed) {
  int64_t seq = 0;
  {
    Use u(st_->update);
    BindWrite(u.s, w);
    const int rc = sqlite3_step(u.s);
    if (rc == SQLITE_DONE) return TagStatus::kNoSuchTag;
    if (rc != SQLITE_ROW) {
      *failed = true;
      return TagStatus::kStoreError;
    }
    seq = sqlite3_column_int64(u.s, 0);
    if (sqlite3_step(u.s) != SQLITE_DONE) {
      *failed = true;
      return TagStatus::kStoreError;
    }
  }
  Use u(st_->history);
  BindWrite(u.s, w);
  sqlite3_bind_int64(u.s, 6, seq);
  sqlite3_bind_int64(u.s, 7, seq % historyPerTag_);
  if (sqlite3_step(u.s) != SQLITE_DONE) {
    *failed = true;
    return TagStatus::kStoreError;
  }
  return TagStatus::kOk;
}

bool SqliteTagStore::Step(sqlite3_stmt* s) {
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
  lastError_ = sqlite3_errmsg(db_);
  return false;
}

bool SqliteTagStore::BeginWriteLocked() {
  FlushBatchLocked();
  return Step(st_->beginWrite);
}

bool SqliteTagStore::CommitLocked(bool failed) {
  if (!failed && Step(st_->commit)) return true;
  if (failed) lastError_ = sqlite3_errmsg(db_);
  // A failed COMMIT can leave the transaction open (SQLITE_BUSY): it must not outlive the call.
  if (!sqlite3_get_autocommit(db_)) Step(st_->rollback);
  return false;
}

bool SqliteTagStore::FlushBatchLocked() {
  if (!batchOpen_) return true;
  batchOpen_ = false;
  batchCalls_ = 0;
  if (CommitLocked(false)) return true;
  ++batchesLost_;
  return false;
}

bool SqliteTagStore::JoinOrFlushBatchLocked() {
  if (batchDepth_ > 0 && batchOwner_ == std::this_thread::get_id()) return true;
  FlushBatchLocked();
  return false;
}

bool SqliteTagStore::BeginBatch() {
  std::lock_guard lock(mu_);
  if (batchDepth_ > 0 && batchOwner_ != std::this_thread::get_id()) return false;
  batchOwner_ = std::this_thread::get_id();
  ++batchDepth_;
  return true;
}

bool SqliteTagStore::EndBatch() {
  std::lock_guard lock(mu_);
  if (batchDepth_ == 0 || batchOwner_ != std::this_thread::get_id()) return true;
  bool ok = FlushBatchLocked();
  if (batchesLost_ > 0) {
    ok = false;
    batchesLost_ = 0;
  }
  if (--batchDepth_ == 0) batchOwner_ = std::thread::id();
  return ok;
}

void SqliteTagStore::Write(const std::vector<TagWrite>& writes, bool storeAndForward, std::vector<TagStatus>* outcome) {
  outcome->assign(writes.size(), TagStatus::kStoreError);
  if (writes.empty()) return;
  std::lock_guard lock(mu_);
  // In this thread's batch the call is a savepoint of the batch's transaction: its writes still
  // reach the store all or none, and a failed call takes back only its own.
  const bool batched = JoinOrFlushBatchLocked();
  if (batched && !batchOpen_) {
    if (!Step(st_->beginWrite)) return;
    batchOpen_ = true;
  }
  if (batched ? !Step(st_->savepoint) : !BeginWriteLocked()) return;
  bool failed = false;
  for (size_t i = 0; i < writes.size() && !failed; ++i) {
    const TagWrite& w = writes[i];
    if (OnlineLocked(w.server)) {
      // Writes spooled for this tag are older: they go first, so that a newer value never ends
      // up behind them and the history stays in time order.
      ForwardTagLocked(w.server, w.tag, &failed);
      if (failed) break;
      (*outcome)[i] = ApplyLocked(w, &failed);
    } else if (!storeAndForward) {
      (*outcome)[i] = TagStatus::kServerOffline;
    } else {
      Use u(st_->spoolAdd);
      BindWrite(u.s, w);
      failed = sqlite3_step(u.s) != SQLITE_DONE;
      (*outcome)[i] = TagStatus::kSpooled;
    }
  }
  if (batched) {
    if (failed) {
      lastError_ = sqlite3_errmsg(db_);
      Step(st_->rollbackTo);
    }
    if (!Step(st_->release)) failed = true;
    if (!failed && ++batchCalls_ >= kBatchCalls && !FlushBatchLocked()) failed = true;
  } else {
    failed = !CommitLocked(failed);
  }
  if (failed) outcome->assign(writes.size(), TagStatus::kStoreError);
}

bool SqliteTagStore::Exists(const std::string& server, const std::string& tag) {
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  Use u(st_->read);
  Bind(u.s, 1, server);
  Bind(u.s, 2, tag);
  return sqlite3_step(u.s) == SQLITE_ROW;
}

std::vector<TagInfo> SqliteTagStore::List(const std::string& server) {
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  Use u(server.empty() ? st_->listAll : st_->list);
  if (!server.empty()) Bind(u.s, 1, server);
  return ReadRows(u.s, [](RowReader& row) {
    TagInfo t;
    t.server = row.Text();
    t.tag = row.Text();
    row.Sample(&t.sample);
    return t;
  });
}

int SqliteTagStore::Forward() {
  std::lock_guard lock(mu_);
  if (!BeginWriteLocked()) return 0;
  std::vector<SpoolRow> rows = SpoolLocked();
  int forwarded = 0;
  bool failed = false;
  for (const SpoolRow& r : rows) {
    if (failed) break;
    if (!OnlineLocked(r.write.server)) continue;
    forwarded += ForwardRowLocked(r, &failed) ? 1 : 0;
  }
  return CommitLocked(failed) ? forwarded : 0;
}

bool SqliteTagStore::Set(const std::string& server, const std::string& tag, const TagValue& value, int32_t quality,
                         double time, const std::string& units, std::string* error) {
  std::lock_guard lock(mu_);
  if (!BeginWriteLocked()) {
    *error = lastError_;
    return false;
  }
  bool ok;
  {
    Use u(st_->upsert);
    Bind(u.s, 1, server);
    Bind(u.s, 2, tag);
    Bind(u.s, 3, value);
    sqlite3_bind_int(u.s, 4, quality);
    sqlite3_bind_double(u.s, 5, time);
    Bind(u.s, 6, units);
    ok = sqlite3_step(u.s) == SQLITE_DONE;
  }
  bool failed = !ok;
  if (ok) ApplyLocked(TagWrite{server, tag, value, quality, time}, &failed);
  if (CommitLocked(failed)) return true;
  *error = lastError_;
  return false;
}

bool SqliteTagStore::Remove(const std::string& server, const std::string& tag) {
  std::lock_guard lock(mu_);
  if (!BeginWriteLocked()) return false;
  bool removed = false, failed = false;
  {
    Use u(st_->remove);
    Bind(u.s, 1, server);
    Bind(u.s, 2, tag);
    failed = sqlite3_step(u.s) != SQLITE_DONE;
    removed = !failed && sqlite3_changes(db_) > 0;
  }
  // Its history goes with it: a tag made again under the name counts its writes from the start.
  if (!failed) {
    Use u(st_->removeHistory);
    Bind(u.s, 1, server);
    Bind(u.s, 2, tag);
    failed = sqlite3_step(u.s) != SQLITE_DONE;
  }
  return CommitLocked(failed) && removed;
}

std::vector<HistoryRow> SqliteTagStore::History(const std::string& server, const std::string& tag, int limit) {
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  Use u(st_->historyList);
  Bind(u.s, 1, server);
  Bind(u.s, 2, tag);
  sqlite3_bind_int(u.s, 3, limit);
  return ReadRows(u.s, [](RowReader& row) {
    HistoryRow h;
    h.id = row.Int64();
    row.ValueQualityTime(&h);
    return h;
  });
}

bool SqliteTagStore::SetServerOnline(const std::string& server, bool online) {
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  Use u(st_->setOnline);
  Bind(u.s, 1, server);
  sqlite3_bind_int(u.s, 2, online ? 1 : 0);
  return sqlite3_step(u.s) == SQLITE_DONE;
}

bool SqliteTagStore::ServerOnline(const std::string& server) {
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  return OnlineLocked(server);
}

bool SqliteTagStore::ForwardRowLocked(const SpoolRow& r, bool* failed) {
  // A write to a tag that no longer exists can never be delivered: it leaves the spool too.
  const bool applied = ApplyLocked(r.write, failed) == TagStatus::kOk;
  if (*failed) return false;
  Use u(st_->spoolDelete);
  sqlite3_bind_int64(u.s, 1, r.id);
  *failed = sqlite3_step(u.s) != SQLITE_DONE;
  return applied && !*failed;
}

void SqliteTagStore::ForwardTagLocked(const std::string& server, const std::string& tag, bool* failed) {
  std::vector<SpoolRow> rows;
  {
    Use u(st_->spoolOfTag);
    Bind(u.s, 1, server);
    Bind(u.s, 2, tag);
    rows = ReadSpoolRows(u.s);
  }
  for (const SpoolRow& r : rows)
    if (ForwardRowLocked(r, failed); *failed) return;
}

std::vector<SpoolRow> SqliteTagStore::Spool() {
  std::lock_guard lock(mu_);
  JoinOrFlushBatchLocked();
  return SpoolLocked();
}

std::vector<SpoolRow> SqliteTagStore::SpoolLocked() {
  Use u(st_->spoolList);
  return ReadSpoolRows(u.s);
}

std::string FormatTagValue(const TagValue& value) {
  if (const auto* n = std::get_if<int64_t>(&value)) return std::to_string(*n);
  if (const auto* d = std::get_if<double>(&value)) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", *d);
    // The shortest text that reads back the same number.
    for (int p = 1; p <= 17; ++p) {
      char shorter[32];
      std::snprintf(shorter, sizeof shorter, "%.*g", p, *d);
      if (std::strtod(shorter, nullptr) == *d) return shorter;
    }
    return buf;
  }
  if (const auto* t = std::get_if<std::string>(&value)) return *t;
  return "";
}

TagValue ParseTagValue(const std::string& text) {
  if (text.empty()) return TagValue();
  int64_t n = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec == std::errc() && p == text.data() + text.size()) return TagValue(n);
  char* end = nullptr;
  errno = 0;
  const double d = std::strtod(text.c_str(), &end);
  if (end == text.c_str() + text.size() && errno == 0 && text.find_first_of(" \t\n") == std::string::npos)
    return TagValue(d);
  return TagValue(text);
}

}  // namespace kv::tags
