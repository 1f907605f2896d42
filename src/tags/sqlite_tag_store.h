#pragma once
// The embedded tag store: one SQLite database holding every server's tags (value, quality,
// time, units), a bounded history of the writes of each tag, the servers' reachability and the
// store-and-forward spool. WAL journal with synchronous=NORMAL: a write acknowledged by Write or
// Set survives the process being killed at any moment. Every statement is prepared once; one
// mutex serialises the calls of one store object (other processes, such as the tag tool, use
// their own connection and SQLite's locks).
//
// A thread may batch its writes (BeginBatch/EndBatch, what a schedule group's pass does): its
// Write calls then share one write transaction, committed every kBatchCalls calls, at EndBatch,
// and before any call of another thread, so that no other caller ever sees or joins an open
// batch. Each call stays all or none (a savepoint of the batch); a batched write is durable once
// its transaction commits, not when Write returns, so a crash can lose the last uncommitted
// calls of a batch (never a write made outside one). The history of a tag is a ring of the last
// historyPerTag writes; HistoryRow::id numbers a tag's writes from 1.
#include <sqlite3.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tags/tag_source.h"

namespace kv::tags {

struct HistoryRow {
  int64_t id = 0;
  TagValue value;
  int32_t quality = kQualityGood;
  double time = 0;
};

struct SpoolRow {
  int64_t id = 0;
  TagWrite write;
};

class SqliteTagStore : public TagSource {
 public:
  // The history keeps this many writes per tag by default.
  static constexpr int kDefaultHistoryPerTag = 1000;
  // A batch commits after this many Write calls, which bounds what a crash can take and how long
  // the tag tool waits for the file's write lock.
  static constexpr int kBatchCalls = 512;

  // Opens (creating when missing) the database at `path` (a file-system path); null and the
  // reason in `error` when it cannot be opened or set up.
  static std::unique_ptr<SqliteTagStore> Open(const std::string& path, std::string* error,
                                              int historyPerTag = kDefaultHistoryPerTag);
  ~SqliteTagStore() override;
  SqliteTagStore(const SqliteTagStore&) = delete;
  SqliteTagStore& operator=(const SqliteTagStore&) = delete;

  // TagSource. A read of a tag whose server is offline answers kServerOffline.
  TagStatus Read(const std::string& server, const std::string& tag, TagSample* out) override;
  void ReadMany(const std::vector<TagKey>& keys, std::vector<TagSample>* out, std::vector<TagStatus>* status) override;
  void Write(const std::vector<TagWrite>& writes, bool storeAndForward, std::vector<TagStatus>* outcome) override;
  bool Exists(const std::string& server, const std::string& tag) override;
  std::vector<TagInfo> List(const std::string& server) override;
  int Forward() override;
  // Batches this thread's writes until the matching EndBatch (they nest). False, and no batch,
  // while another thread holds one. EndBatch commits; false when a commit of the batch failed
  // (its writes, acknowledged as kOk, are lost; LastError says why).
  bool BeginBatch() override;
  bool EndBatch() override;

  // What the tag tool does. Set creates the tag when missing (its units stay as they were when
  // `units` is empty) and records the write in the history; it ignores the server's
  // reachability. False and the reason in `error` on a store failure.
  bool Set(const std::string& server, const std::string& tag, const TagValue& value, int32_t quality, double time,
           const std::string& units, std::string* error);
  bool Remove(const std::string& server, const std::string& tag);
  // The last `limit` writes of the tag, oldest first.
  std::vector<HistoryRow> History(const std::string& server, const std::string& tag, int limit);
  // Marks a server reachable or not (an unknown server is reachable).
  bool SetServerOnline(const std::string& server, bool online);
  bool ServerOnline(const std::string& server);
  std::vector<SpoolRow> Spool();
  const std::string& LastError() const { return lastError_; }

 private:
  explicit SqliteTagStore(sqlite3* db, int historyPerTag);
  bool Prepare(std::string* error);
  bool OnlineLocked(const std::string& server);
  TagStatus ReadLocked(const std::string& server, const std::string& tag, TagSample* out);
  // OnlineLocked answered from memory while the database is unchanged since the answer.
  bool OnlineCachedLocked(const std::string& server);
  std::vector<SpoolRow> SpoolLocked();
  // Updates the tag and appends to its history; kNoSuchTag when the tag does not exist.
  TagStatus ApplyLocked(const TagWrite& w, bool* failed);
  // Applies one spooled write and takes it off the spool; whether it was delivered.
  bool ForwardRowLocked(const SpoolRow& r, bool* failed);
  // Forwards the writes spooled for one tag, oldest first.
  void ForwardTagLocked(const std::string& server, const std::string& tag, bool* failed);
  bool Exec(const char* sql);
  // Brings an older database's tables to this schema; sizes the history ring.
  bool Migrate();
  // Steps a statement without results (or ignoring them) and resets it; false and lastError_ on
  // a failure.
  bool Step(sqlite3_stmt* s);
  // Starts a call's own write transaction (committing an open batch first), and ends it: commits
  // unless `failed`, else rolls back. CommitLocked is false when nothing was committed.
  bool BeginWriteLocked();
  bool CommitLocked(bool failed);
  // Commits an open batch; false when that failed.
  bool FlushBatchLocked();
  // True when the calling thread holds the batch; otherwise commits any open batch first.
  bool JoinOrFlushBatchLocked();

  std::mutex mu_;
  sqlite3* db_;
  const int historyPerTag_;
  std::string lastError_;
  struct Statements;
  std::unique_ptr<Statements> st_;
  // Server switches read since the database's data version was `onlineVersion_` (keys folded
  // as the servers table compares them).
  std::map<std::string, bool> onlineCache_;
  unsigned onlineVersion_ = 0;
  // The batch (guarded by mu_): its thread, its nesting, whether its transaction is open, the
  // calls in that transaction and the commits of it that failed since BeginBatch.
  std::thread::id batchOwner_;
  int batchDepth_ = 0;
  bool batchOpen_ = false;
  int batchCalls_ = 0;
  int batchesLost_ = 0;
};

// Text forms of values for people: integers and reals as numbers, texts as they are, nothing as
// "". ParseTagValue reads a number when the whole text is one, else keeps the text.
std::string FormatTagValue(const TagValue& value);
TagValue ParseTagValue(const std::string& text);

}  // namespace kv::tags
