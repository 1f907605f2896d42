// The embedded tag store: reads and writes, bounded history, store-and-forward across a
// restart, a process killed in the middle of writing, and the database pass-through.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"
#include "tags/sqlite_connections.h"
#include "tags/sqlite_tag_store.h"

namespace kv::tags {
namespace {

class TagStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<SqliteTagStore> Open(int history = SqliteTagStore::kDefaultHistoryPerTag) {
    std::string error;
    auto s = SqliteTagStore::Open(path, &error, history);
    EXPECT_TRUE(s) << error;
    return s;
  }
  void Seed(SqliteTagStore& s, const std::string& server, const std::string& tag, TagValue v) {
    std::string error;
    ASSERT_TRUE(s.Set(server, tag, v, kQualityGood, 1, "", &error)) << error;
  }

  kv::testing::TempDir dir;
  std::string path = dir.path() + "/tags.db";
};

// The database and its -wal and -shm files are 0640 whatever the umask allows, as every file the
// server writes; a database an older build left 0644 is narrowed.
TEST_F(TagStoreTest, TheDatabaseAndItsSideFilesAreNotWorldReadable) {
  const mode_t oldMask = umask(022);
  for (bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "existing 0644 files" : "new files");
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    if (existing) {
      // Empty files, which SQLite takes as a new database and no journal.
      for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string p = path + suffix;
        FILE* f = fopen(p.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
        chmod(p.c_str(), 0644);
      }
    }
    auto s = Open();
    ASSERT_TRUE(s);
    Seed(*s, "Plant1", "Flow", 1.0);  // a write: the -wal and -shm files exist now
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat st {};
      ASSERT_EQ(stat((path + suffix).c_str(), &st), 0) << suffix;
      EXPECT_EQ(st.st_mode & 0777, 0640u) << suffix;
    }
  }
  umask(oldMask);
}

TEST_F(TagStoreTest, WritesReadBackAndHistoryIsBounded) {
  auto s = Open(3);
  Seed(*s, "Plant1", "Flow", 0.0);
  for (int i = 1; i <= 5; ++i) {
    std::vector<TagStatus> out;
    s->Write({TagWrite{"PLANT1", "flow", TagValue(int64_t{i}), kQualityGood, 100.0 + i}}, false, &out);
    ASSERT_EQ(out[0], TagStatus::kOk);
  }
  TagSample sample;
  ASSERT_EQ(s->Read("plant1", "FLOW", &sample), TagStatus::kOk);
  EXPECT_EQ(sample.value, TagValue(int64_t{5}));
  EXPECT_EQ(sample.time, 105.0);
  const auto h = s->History("Plant1", "Flow", 10);
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].value, TagValue(int64_t{3}));
  EXPECT_EQ(h[2].value, TagValue(int64_t{5}));

  std::vector<TagStatus> out;
  s->Write({TagWrite{"Plant1", "Flow", 1.0}, TagWrite{"Plant1", "Nope", 2.0}}, false, &out);
  EXPECT_EQ(out[0], TagStatus::kOk);
  EXPECT_EQ(out[1], TagStatus::kNoSuchTag);
  EXPECT_EQ(s->Read("Plant1", "Nope", &sample), TagStatus::kNoSuchTag);
  EXPECT_TRUE(s->Exists("Plant1", "Flow"));
  EXPECT_EQ(s->List("").size(), 1u);
}

// A read remembers a server's switch only while the database is unchanged: a switch made by
// another connection (the tag tool) or by this one is seen by the next read.
TEST_F(TagStoreTest, AServerSwitchedOfflineElsewhereIsSeenByTheNextRead) {
  auto server = Open();
  auto tool = Open();
  Seed(*server, "Plant1", "Flow", 1.0);
  TagSample sample;
  ASSERT_EQ(server->Read("Plant1", "Flow", &sample), TagStatus::kOk);
  const struct {
    SqliteTagStore* by;
    const char* name;
    bool online;
    TagStatus want;
  } steps[] = {
      {tool.get(), "PLANT1", false, TagStatus::kServerOffline},
      {tool.get(), "Plant1", true, TagStatus::kOk},
      {server.get(), "plant1", false, TagStatus::kServerOffline},
      {tool.get(), "Other", false, TagStatus::kServerOffline},  // another server: no change here
      {server.get(), "Plant1", true, TagStatus::kOk},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string(step.name) + (step.online ? " on" : " off"));
    ASSERT_TRUE(step.by->SetServerOnline(step.name, step.online));
    EXPECT_EQ(server->Read("Plant1", "Flow", &sample), step.want);
    EXPECT_EQ(server->Read("plant1", "FLOW", &sample), step.want);
  }
}

// A run's inputs read together answer as one read each would, in order, and leave no
// transaction open behind them (a write right after succeeds).
TEST_F(TagStoreTest, ReadManyAnswersAsSeparateReads) {
  auto s = Open();
  Seed(*s, "Plant1", "a", 1.5);
  Seed(*s, "Plant1", "b", int64_t{7});
  Seed(*s, "Remote", "c", 3.0);
  ASSERT_TRUE(s->SetServerOnline("Remote", false));
  const std::string p1 = "plant1", remote = "Remote", a = "A", b = "b", c = "c", none = "none";
  std::vector<TagSample> got;
  std::vector<TagStatus> status;
  s->ReadMany({{&p1, &a}, {&remote, &c}, {&p1, &none}, {&p1, &b}}, &got, &status);
  ASSERT_EQ(status.size(), 4u);
  EXPECT_EQ(status, (std::vector<TagStatus>{TagStatus::kOk, TagStatus::kServerOffline, TagStatus::kNoSuchTag,
                                            TagStatus::kOk}));
  EXPECT_EQ(got[0].value, TagValue(1.5));
  EXPECT_EQ(got[3].value, TagValue(int64_t{7}));
  std::vector<TagStatus> out;
  s->Write({TagWrite{"Plant1", "a", 2.5}}, false, &out);
  EXPECT_EQ(out[0], TagStatus::kOk);
  TagSample sample;
  ASSERT_EQ(s->Read("Plant1", "a", &sample), TagStatus::kOk);
  EXPECT_EQ(sample.value, TagValue(2.5));
}

TEST_F(TagStoreTest, StoreAndForwardSurvivesARestartAndForwardsInOrder) {
  {
    auto s = Open();
    Seed(*s, "Remote", "T", int64_t{0});
    Seed(*s, "Local", "L", int64_t{0});
    ASSERT_TRUE(s->SetServerOnline("Remote", false));
    std::vector<TagStatus> out;
    s->Write({TagWrite{"Remote", "T", int64_t{1}}}, false, &out);
    EXPECT_EQ(out[0], TagStatus::kServerOffline);
    for (int i = 1; i <= 3; ++i) {
      s->Write({TagWrite{"Remote", "T", int64_t{i}, kQualityGood, 10.0 + i}, TagWrite{"Local", "L", int64_t{i}}}, true,
               &out);
      EXPECT_EQ(out[0], TagStatus::kSpooled);
      EXPECT_EQ(out[1], TagStatus::kOk);
    }
    EXPECT_EQ(s->Forward(), 0) << "the server is still offline";
  }
  // A restart: a new store object on the same file.
  auto s = Open();
  ASSERT_EQ(s->Spool().size(), 3u);
  ASSERT_TRUE(s->SetServerOnline("Remote", true));
  EXPECT_EQ(s->Forward(), 3);
  EXPECT_TRUE(s->Spool().empty());
  const auto h = s->History("Remote", "T", 10);
  ASSERT_EQ(h.size(), 4u);  // the seed, then the three in the order they were written
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(h[i].value, TagValue(int64_t{i}));
    EXPECT_EQ(h[i].time, 10.0 + i);
  }
}

// Writes 10 and 20 spooled while the server was offline, then 30 written directly once it is
// back: the spooled ones go first, so the tag ends at 30 and its history is in time order.
TEST_F(TagStoreTest, ADirectWriteNeverOvertakesSpooledOnes) {
  auto s = Open();
  Seed(*s, "Remote", "T", int64_t{0});
  Seed(*s, "Remote", "U", int64_t{0});
  ASSERT_TRUE(s->SetServerOnline("Remote", false));
  std::vector<TagStatus> out;
  for (int i : {10, 20}) s->Write({TagWrite{"Remote", "T", int64_t{i}, kQualityGood, 10.0 + i}}, true, &out);
  ASSERT_EQ(s->Spool().size(), 2u);
  ASSERT_TRUE(s->SetServerOnline("Remote", true));
  s->Write({TagWrite{"Remote", "T", int64_t{30}, kQualityGood, 40.0}, TagWrite{"Remote", "U", int64_t{5}}}, true, &out);
  EXPECT_EQ(out, (std::vector<TagStatus>{TagStatus::kOk, TagStatus::kOk}));
  EXPECT_TRUE(s->Spool().empty());
  EXPECT_EQ(s->Forward(), 0);
  std::vector<TagValue> values;
  std::vector<double> times;
  for (const auto& h : s->History("Remote", "T", 10)) {
    values.push_back(h.value);
    times.push_back(h.time);
  }
  EXPECT_EQ(values, (std::vector<TagValue>{int64_t{0}, int64_t{10}, int64_t{20}, int64_t{30}}));
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  TagSample now;
  ASSERT_EQ(s->Read("Remote", "T", &now), TagStatus::kOk);
  EXPECT_EQ(now.value, TagValue(int64_t{30}));
}

// Every kind of value, with its quality, time and units, comes back column for column through
// each reader of rows: a read, the list, the history and the spool.
TEST_F(TagStoreTest, EveryReaderGivesBackEachColumn) {
  auto s = Open();
  ASSERT_TRUE(s->SetServerOnline("Remote", false));
  const TagValue values[] = {TagValue(), TagValue(int64_t{-7}), TagValue(2.5), TagValue(std::string("a\0b", 3))};
  for (size_t i = 0; i < std::size(values); ++i) {
    SCOPED_TRACE(i);
    const std::string tag = "T" + std::to_string(i), units = "u" + std::to_string(i);
    const int32_t quality = 100 + static_cast<int32_t>(i);
    const double time = 1000.25 + static_cast<double>(i);
    std::string error;
    ASSERT_TRUE(s->Set("Plant1", tag, values[i], quality, time, units, &error)) << error;
    ASSERT_TRUE(s->Set("Remote", tag, TagValue(), kQualityBad, 1, "", &error)) << error;

    TagSample read;
    ASSERT_EQ(s->Read("Plant1", tag, &read), TagStatus::kOk);
    EXPECT_EQ(read.value, values[i]);
    EXPECT_EQ(read.quality, quality);
    EXPECT_EQ(read.time, time);
    EXPECT_EQ(read.units, units);

    const std::vector<TagInfo> listed = s->List("Plant1");
    ASSERT_EQ(listed.size(), i + 1);
    EXPECT_EQ(listed[i].server, "Plant1");
    EXPECT_EQ(listed[i].tag, tag);
    EXPECT_EQ(listed[i].sample.value, values[i]);
    EXPECT_EQ(listed[i].sample.quality, quality);
    EXPECT_EQ(listed[i].sample.time, time);
    EXPECT_EQ(listed[i].sample.units, units);

    const std::vector<HistoryRow> history = s->History("Plant1", tag, 5);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_GT(history[0].id, 0);
    EXPECT_EQ(history[0].value, values[i]);
    EXPECT_EQ(history[0].quality, quality);
    EXPECT_EQ(history[0].time, time);

    std::vector<TagStatus> out;
    s->Write({TagWrite{"Remote", tag, values[i], quality, time}}, true, &out);
    ASSERT_EQ(out[0], TagStatus::kSpooled);
    const std::vector<SpoolRow> spooled = s->Spool();
    ASSERT_EQ(spooled.size(), i + 1);
    EXPECT_GT(spooled[i].id, i == 0 ? 0 : spooled[i - 1].id);
    EXPECT_EQ(spooled[i].write.server, "Remote");
    EXPECT_EQ(spooled[i].write.tag, tag);
    EXPECT_EQ(spooled[i].write.value, values[i]);
    EXPECT_EQ(spooled[i].write.quality, quality);
    EXPECT_EQ(spooled[i].write.time, time);
  }
}

TEST_F(TagStoreTest, AKilledWriterLosesNoAcknowledgedWrite) {
  {
    auto s = Open();
    Seed(*s, "Plant1", "Counter", int64_t{0});
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    std::string error;
    auto s = SqliteTagStore::Open(path, &error);
    if (!s) _exit(2);
    for (int64_t i = 1;; ++i) {
      std::vector<TagStatus> out;
      s->Write({TagWrite{"Plant1", "Counter", TagValue(i), kQualityGood, static_cast<double>(i)}}, false, &out);
      if (out[0] != TagStatus::kOk) _exit(3);
      // Acknowledged: tell the parent.
      if (write(fds[1], &i, sizeof i) != sizeof i) _exit(4);
    }
  }
  close(fds[1]);
  int64_t acked = 0, got = 0;
  while (acked < 200 && read(fds[0], &got, sizeof got) == sizeof got) acked = got;
  kill(child, SIGKILL);
  while (read(fds[0], &got, sizeof got) == sizeof got) acked = got;  // what was acknowledged before the kill
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
  ASSERT_GE(acked, 200);

  auto s = Open();
  TagSample sample;
  ASSERT_EQ(s->Read("Plant1", "Counter", &sample), TagStatus::kOk);
  ASSERT_TRUE(std::holds_alternative<int64_t>(sample.value));
  EXPECT_GE(std::get<int64_t>(sample.value), acked);
  const auto h = s->History("Plant1", "Counter", 1);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_GE(std::get<int64_t>(h[0].value), acked);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// A batch: its thread's later reads see its writes, and another thread's call commits it first
// (so that thread sees them too and never joins it); EndBatch commits the rest.
TEST_F(TagStoreTest, ABatchIsSeenByItsThreadAndCommittedBeforeAnyOtherCall) {
  auto s = Open(4);
  Seed(*s, "Plant1", "A", 0.0);
  Seed(*s, "Plant1", "B", 0.0);
  ASSERT_TRUE(s->BeginBatch());
  std::vector<TagStatus> out;
  s->Write({TagWrite{"Plant1", "A", 1.0}}, false, &out);
  ASSERT_EQ(out[0], TagStatus::kOk);
  TagSample sample;
  ASSERT_EQ(s->Read("Plant1", "A", &sample), TagStatus::kOk);
  EXPECT_EQ(sample.value, TagValue(1.0));
  bool otherBatched = true;
  std::thread([&] {
    otherBatched = s->BeginBatch();
    TagSample seen;
    s->Read("Plant1", "A", &seen);
    EXPECT_EQ(seen.value, TagValue(1.0));
  }).join();
  EXPECT_FALSE(otherBatched);
  {
    // Committed by the other thread's read: another connection sees it.
    auto other = Open(4);
    ASSERT_EQ(other->Read("Plant1", "A", &sample), TagStatus::kOk);
    EXPECT_EQ(sample.value, TagValue(1.0));
  }
  s->Write({TagWrite{"Plant1", "B", 2.0}}, false, &out);
  ASSERT_EQ(out[0], TagStatus::kOk);
  EXPECT_TRUE(s->EndBatch());
  ASSERT_EQ(s->Read("Plant1", "B", &sample), TagStatus::kOk);
  EXPECT_EQ(sample.value, TagValue(2.0));
  EXPECT_EQ(s->History("Plant1", "B", 10).size(), 2u);
}

// A database whose history was a table of rows with ids opens with those rows in the ring, in
// their order, and later writes follow them.
TEST_F(TagStoreTest, AnOlderHistoryTableMovesIntoTheRing) {
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE tags(server TEXT NOT NULL COLLATE NOCASE, tag TEXT NOT NULL COLLATE NOCASE,"
                           " value, quality INTEGER NOT NULL DEFAULT 192, time REAL NOT NULL DEFAULT 0,"
                           " units TEXT NOT NULL DEFAULT '', PRIMARY KEY(server, tag)) WITHOUT ROWID;"
                           "CREATE TABLE history(id INTEGER PRIMARY KEY, server TEXT NOT NULL COLLATE NOCASE,"
                           " tag TEXT NOT NULL COLLATE NOCASE, value, quality INTEGER NOT NULL, time REAL NOT NULL);"
                           "INSERT INTO tags VALUES('P', 'T', 30, 192, 3, '');"
                           "INSERT INTO history(server, tag, value, quality, time) VALUES('P', 'T', 10, 192, 1),"
                           " ('P', 'Other', 99, 192, 1), ('p', 't', 20, 192, 2), ('P', 'T', 30, 192, 3);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  auto s = Open(2);
  std::vector<TagStatus> out;
  s->Write({TagWrite{"P", "T", TagValue(int64_t{40})}}, false, &out);
  ASSERT_EQ(out[0], TagStatus::kOk);
  const auto h = s->History("P", "T", 10);
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[0].value, TagValue(int64_t{30}));
  EXPECT_EQ(h[1].value, TagValue(int64_t{40}));
  EXPECT_EQ(h[1].id, 4);
}

TEST_F(TagStoreTest, ValueTextsRoundTrip) {
  struct Case {
    const char* text;
    TagValue value;
  } cases[] = {{"42", int64_t{42}}, {"-7", int64_t{-7}}, {"1.5", 1.5}, {"0.1", 0.1}, {"open", std::string("open")},
               {"1 2", std::string("1 2")}, {"", TagValue()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseTagValue(c.text), c.value);
    EXPECT_EQ(FormatTagValue(c.value), c.text);
  }
}

TEST_F(TagStoreTest, PassThroughConnectionsByConnectString) {
  { auto s = Open(); }
  SqliteConnections c;
  std::string error;
  EXPECT_EQ(SqliteConnections::PathOf("Provider=x; Data Source = /a/b.db ;Mode=1"), "/a/b.db");
  EXPECT_FALSE(c.Connect(dir.path() + "/missing.db", false, &error));
  EXPECT_NE(error, "");
  const std::string conn = "Data Source=" + path;
  ASSERT_TRUE(c.Connect(conn, true, &error)) << error;
  std::vector<std::string> names, types;
  ASSERT_TRUE(c.QueryInfo(conn, "SELECT server, tag, quality, 1+1 AS two FROM tags", &names, &types, &error)) << error;
  EXPECT_EQ(names, (std::vector<std::string>{"server", "tag", "quality", "two"}));
  EXPECT_EQ(types, (std::vector<std::string>{"TEXT", "TEXT", "INTEGER", ""}));
  EXPECT_FALSE(c.QueryInfo(conn, "SELEC nonsense", &names, &types, &error));
  EXPECT_NE(error.find("syntax error"), std::string::npos) << error;
  EXPECT_TRUE(c.Close(conn, &error));
  EXPECT_FALSE(c.Close(conn, &error));
}

}  // namespace
}  // namespace kv::tags
