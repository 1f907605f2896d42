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
    " units TEXT NOT NULL DEFAULT '', PRIMARY KEY(server, tag)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS history(id INTEGER PRIMARY KEY, server TEXT NOT NULL COLLATE NOCASE,"
    " tag TEXT NOT NULL COLLATE NOCASE, value, quality INTEGER NOT NULL, time REAL NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_tag ON history(server, tag, id);"
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
  sqlite3_stmt* trim = nullptr;
  sqlite3_stmt* online = nullptr;
  sqlite3_stmt* setOnline = nullptr;
  sqlite3_stmt* spoolAdd = nullptr;
  sqlite3_stmt* spoolList = nullptr;
  sqlite3_stmt* spoolDelete = nullptr;
  sqlite3_stmt* list = nullptr;
  sqlite3_stmt* listAll = nullptr;
  sqlite3_stmt* historyList = nullptr;
  sqlite3_stmt* remove = nullptr;
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* commit = nullptr;
  sqlite3_stmt* spoolOfTag = nullptr;

  sqlite3_stmt** All[17] = {&read,     &update,    &upsert,      &history, &trim,  &online,
                            &setOnline, &spoolAdd, &spoolList, &spoolDelete, &list, &listAll,
                            &historyList, &remove,  &begin,      &commit, &spoolOfTag};
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
      !store->Exec(kSchema) || !store->Prepare(error)) {
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
  const char* const sql[17] = {
      "SELECT value, quality, time, units FROM tags WHERE server=?1 AND tag=?2",
      "UPDATE tags SET value=?3, quality=?4, time=?5 WHERE server=?1 AND tag=?2",
      "INSERT INTO tags(server, tag, value, quality, time, units) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"
      " ON CONFLICT(server, tag) DO UPDATE SET value=excluded.value, quality=excluded.quality,"
      " time=excluded.time, units=CASE WHEN excluded.units<>'' THEN excluded.units ELSE units END",
      "INSERT INTO history(server, tag, value, quality, time) VALUES(?1, ?2, ?3, ?4, ?5)",
      "DELETE FROM history WHERE server=?1 AND tag=?2 AND id <= (SELECT id FROM history"
      " WHERE server=?1 AND tag=?2 ORDER BY id DESC LIMIT 1 OFFSET ?3)",
      "SELECT online FROM servers WHERE server=?1",
      "INSERT INTO servers(server, online) VALUES(?1, ?2) ON CONFLICT(server) DO UPDATE SET online=excluded.online",
      "INSERT INTO spool(server, tag, value, quality, time) VALUES(?1, ?2, ?3, ?4, ?5)",
      "SELECT id, server, tag, value, quality, time FROM spool ORDER BY id",
      "DELETE FROM spool WHERE id=?1",
      "SELECT server, tag, value, quality, time, units FROM tags WHERE server=?1 ORDER BY server, tag",
      "SELECT server, tag, value, quality, time, units FROM tags ORDER BY server, tag",
      "SELECT id, value, quality, time FROM (SELECT id, value, quality, time FROM history"
      " WHERE server=?1 AND tag=?2 ORDER BY id DESC LIMIT ?3) ORDER BY id",
      "DELETE FROM tags WHERE server=?1 AND tag=?2",
      "BEGIN",
      "COMMIT",
      "SELECT id, server, tag, value, quality, time FROM spool WHERE server=?1 AND tag=?2 ORDER BY id",
  };
  for (int i = 0; i < 17; ++i) {
    if (sqlite3_prepare_v3(db_, sql[i], -1, SQLITE_PREPARE_PERSISTENT, st_->All[i], nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
  }
  return true;
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
  return ReadLocked(server, tag, out);
}

void SqliteTagStore::ReadMany(const std::vector<TagKey>& keys, std::vector<TagSample>* out,
                              std::vector<TagStatus>* status) {
  out->assign(keys.size(), TagSample());
  status->assign(keys.size(), TagStatus::kOk);
  std::lock_guard lock(mu_);
  // One read transaction: the samples are of one moment, and the file locks are taken once.
  // Nothing else runs on this connection meanwhile (every call holds mu_ and ends its own
  // transaction), so the BEGIN cannot fail for one already open.
  const bool grouped = keys.size() > 1 && sqlite3_step(st_->begin) == SQLITE_DONE;
  sqlite3_reset(st_->begin);
  for (size_t i = 0; i < keys.size(); ++i) (*status)[i] = ReadLocked(*keys[i].server, *keys[i].tag, &(*out)[i]);
  if (grouped) {
    if (sqlite3_step(st_->commit) != SQLITE_DONE) Exec("ROLLBACK");
    sqlite3_reset(st_->commit);
  }
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
  {
    Use u(st_->update);
    BindWrite(u.s, w);
    if (sqlite3_step(u.s) != SQLITE_DONE) {
      *failed = true;
      return TagStatus::kStoreError;
    }
  }
  if (sqlite3_changes(db_) == 0) return TagStatus::kNoSuchTag;
  {
    Use u(st_->history);
    BindWrite(u.s, w);
    if (sqlite3_step(u.s) != SQLITE_DONE) {
      *failed = true;
      return TagStatus::kStoreError;
    }
  }
  Use u(st_->trim);
  Bind(u.s, 1, w.server);
  Bind(u.s, 2, w.tag);
  sqlite3_bind_int(u.s, 3, historyPerTag_);
  if (sqlite3_step(u.s) != SQLITE_DONE) {
    *failed = true;
    return TagStatus::kStoreError;
  }
  return TagStatus::kOk;
}

void SqliteTagStore::Write(const std::vector<TagWrite>& writes, bool storeAndForward, std::vector<TagStatus>* outcome) {
  outcome->assign(writes.size(), TagStatus::kStoreError);
  if (writes.empty()) return;
  std::lock_guard lock(mu_);
  if (!Exec("BEGIN IMMEDIATE")) return;
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
  if (failed || !Exec("COMMIT")) {
    if (failed) lastError_ = sqlite3_errmsg(db_);
    Exec("ROLLBACK");
    outcome->assign(writes.size(), TagStatus::kStoreError);
  }
}

bool SqliteTagStore::Exists(const std::string& server, const std::string& tag) {
  std::lock_guard lock(mu_);
  Use u(st_->read);
  Bind(u.s, 1, server);
  Bind(u.s, 2, tag);
  return sqlite3_step(u.s) == SQLITE_ROW;
}

std::vector<TagInfo> SqliteTagStore::List(const std::string& server) {
  std::lock_guard lock(mu_);
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
  if (!Exec("BEGIN IMMEDIATE")) return 0;
  std::vector<SpoolRow> rows = SpoolLocked();
  int forwarded = 0;
  bool failed = false;
  for (const SpoolRow& r : rows) {
    if (failed) break;
    if (!OnlineLocked(r.write.server)) continue;
    forwarded += ForwardRowLocked(r, &failed) ? 1 : 0;
  }
  if (failed || !Exec("COMMIT")) {
    lastError_ = sqlite3_errmsg(db_);
    Exec("ROLLBACK");
    return 0;
  }
  return forwarded;
}

bool SqliteTagStore::Set(const std::string& server, const std::string& tag, const TagValue& value, int32_t quality,
                         double time, const std::string& units, std::string* error) {
  std::lock_guard lock(mu_);
  if (!Exec("BEGIN IMMEDIATE")) {
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
  if (failed || !Exec("COMMIT")) {
    *error = failed ? sqlite3_errmsg(db_) : lastError_;
    Exec("ROLLBACK");
    return false;
  }
  return true;
}

bool SqliteTagStore::Remove(const std::string& server, const std::string& tag) {
  std::lock_guard lock(mu_);
  Use u(st_->remove);
  Bind(u.s, 1, server);
  Bind(u.s, 2, tag);
  return sqlite3_step(u.s) == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

std::vector<HistoryRow> SqliteTagStore::History(const std::string& server, const std::string& tag, int limit) {
  std::lock_guard lock(mu_);
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
  Use u(st_->setOnline);
  Bind(u.s, 1, server);
  sqlite3_bind_int(u.s, 2, online ? 1 : 0);
  return sqlite3_step(u.s) == SQLITE_DONE;
}

bool SqliteTagStore::ServerOnline(const std::string& server) {
  std::lock_guard lock(mu_);
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
