#include "platform/file_system.h"
#include "platform/folder_reader.h"
#include "platform/folder_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "support/temp_dir.h"

namespace kv::platform {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace stdfs = std::filesystem;

// A private scratch folder; `W` builds the Windows-form paths the callers use.
class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = scratch_.path(); }

  // root + "\" + rel, with every "/" in rel written as "\".
  std::string W(std::string rel) const {
    for (char& c : rel)
      if (c == '/') c = '\\';
    return root_ + "\\" + rel;
  }
  std::string P(const std::string& rel) const { return root_ + "/" + rel; }

  void Touch(const std::string& rel, const std::string& content = "x") const {
    std::ofstream(P(rel), std::ios::binary) << content;
  }
  void MkDir(const std::string& rel) const { ASSERT_EQ(mkdir(P(rel).c_str(), 0755), 0) << rel; }
  std::string Slurp(const std::string& rel) const {
    std::ifstream in(P(rel), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<std::string> Names(const std::string& relPattern) const {
    std::vector<std::string> names;
    for (const FindEntry& e : fs_.Find(W(relPattern))) names.push_back(e.name);
    return names;
  }

  FileSystem& fs_ = RealFileSystem();
  kv::testing::TempDir scratch_;
  std::string root_;
};

TEST(CrtErrnoFromLinuxTest, MapsToWindowsNumbers) {
  static const struct {
    int linuxErrno;
    int crtErrno;
  } kCases[] = {
      {0, 0},          {ENOENT, 2},   {EACCES, 13},  {EPERM, 13},         {EEXIST, 17},
      {EXDEV, 18},     {ENOTDIR, 20}, {EISDIR, 21},  {EINVAL, 22},        {ENOSPC, 28},
      {ENAMETOOLONG, 38}, {ENOTEMPTY, 41}, {EIO, 5}, {EBUSY, 5},          {ELOOP, 5},
  };
  for (const auto& c : kCases) EXPECT_EQ(CrtErrnoFromLinux(c.linuxErrno), c.crtErrno) << c.linuxErrno;
}

// The numbers that differ from Linux's must still name their own error.
TEST(CrtErrnoTextTest, NamesTheError) {
  static const struct {
    int crtErrno;
    const char* text;
  } kCases[] = {
      {crt::kENOENT, "No such file or directory"},
      {crt::kEACCES, "Permission denied"},
      {crt::kENOSPC, "No space left on device"},
      {crt::kENAMETOOLONG, "File name too long"},
      {crt::kENOTEMPTY, "Directory not empty"},
  };
  for (const auto& c : kCases) EXPECT_EQ(CrtErrnoText(c.crtErrno), c.text) << c.crtErrno;
}

TEST_F(FileSystemTest, FindMatchesWildcards) {
  for (const char* f : {"Flow1.zrc", "flow2.ZRC", "Flow10.zrc", "notes.txt", "abc", "a.b.zrc", "zrc"}) Touch(f);
  MkDir("Sub.zrc");

  static const struct {
    const char* pattern;
    std::vector<std::string> expected;
  } kCases[] = {
      {"*", {".", "..", "a.b.zrc", "abc", "Flow1.zrc", "Flow10.zrc", "flow2.ZRC", "notes.txt", "Sub.zrc", "zrc"}},
      {"*.*", {".", "..", "a.b.zrc", "abc", "Flow1.zrc", "Flow10.zrc", "flow2.ZRC", "notes.txt", "Sub.zrc", "zrc"}},
      {"*.zrc", {"a.b.zrc", "Flow1.zrc", "Flow10.zrc", "flow2.ZRC", "Sub.zrc"}},
      {"*.ZRC", {"a.b.zrc", "Flow1.zrc", "Flow10.zrc", "flow2.ZRC", "Sub.zrc"}},
      {"FLOW?.zrc", {"Flow1.zrc", "flow2.ZRC"}},
      {"flow??.zrc", {"Flow10.zrc"}},
      {"f*1*.zrc", {"Flow1.zrc", "Flow10.zrc"}},
      {"*b*", {"a.b.zrc", "abc", "Sub.zrc"}},
      {"a?c", {"abc"}},
      {"?", {"."}},
      {"??", {".."}},
      {"*.none", {}},
      {"zrc*", {"zrc"}},
  };
  for (const auto& c : kCases) EXPECT_EQ(Names(c.pattern), c.expected) << c.pattern;
}

TEST_F(FileSystemTest, FindReportsDirectories) {
  Touch("file");
  MkDir("dir");
  ASSERT_EQ(symlink("dir", P("linkToDir").c_str()), 0);
  ASSERT_EQ(symlink("file", P("linkToFile").c_str()), 0);
  ASSERT_EQ(symlink("missing", P("dangling").c_str()), 0);

  std::vector<std::pair<std::string, bool>> got;
  for (const FindEntry& e : fs_.Find(W("*"))) got.emplace_back(e.name, e.isDirectory);
  EXPECT_THAT(got, ElementsAre(std::pair<std::string, bool>{".", true}, std::pair<std::string, bool>{"..", true},
                               std::pair<std::string, bool>{"dangling", false},
                               std::pair<std::string, bool>{"dir", true}, std::pair<std::string, bool>{"file", false},
                               std::pair<std::string, bool>{"linkToDir", true},
                               std::pair<std::string, bool>{"linkToFile", false}));
}

TEST_F(FileSystemTest, FindExactPathAndMissingFolder) {
  MkDir("Calc");
  Touch("Calc/Flow.zrc");

  static const struct {
    const char* pattern;
    bool found;
    const char* name;
    bool isDirectory;
  } kCases[] = {
      {"Calc\\Flow.zrc", true, "Flow.zrc", false},
      {"Calc", true, "Calc", true},
      {"Calc\\flow.zrc", false, "", false},  // the disk is case-sensitive for exact names
      {"Calc\\Other.zrc", false, "", false},
      {"Missing\\*", false, "", false},
      {"Missing\\*.zrc", false, "", false},
      {"Calc\\Flow.zrc\\*", false, "", false},  // a file is no folder
      {"Calc\\", false, "", false},
  };
  for (const auto& c : kCases) {
    std::vector<FindEntry> got = fs_.Find(W(c.pattern));
    if (!c.found) {
      EXPECT_THAT(got, IsEmpty()) << c.pattern;
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << c.pattern;
    EXPECT_EQ(got[0].name, c.name) << c.pattern;
    EXPECT_EQ(got[0].isDirectory, c.isDirectory) << c.pattern;
  }
  EXPECT_TRUE(fs_.Exists(W("Calc\\Flow.zrc")));
  EXPECT_FALSE(fs_.IsDirectory(W("Calc\\Flow.zrc")));
  EXPECT_TRUE(fs_.IsDirectory(W("Calc")));
  EXPECT_FALSE(fs_.Exists(W("Calc\\Other.zrc")));
  EXPECT_FALSE(fs_.IsDirectory(W("Missing")));
}

TEST_F(FileSystemTest, FindSortsIgnoringCaseThenByBytes) {
  for (const char* f : {"b", "a", "C", "A", "ab", "B_", "a_", "_x"}) Touch(f);
  // Letters fold to lower case (0x61..0x7A), so '_' (0x5F) sorts before them; equal folded names
  // fall back to byte order, upper case first.
  EXPECT_THAT(Names("*"), ElementsAre(".", "..", "_x", "A", "a", "a_", "ab", "b", "B_", "C"));
}

TEST_F(FileSystemTest, CreateAndRemoveDirectory) {
  Touch("file");
  EXPECT_EQ(fs_.CreateDirectory(W("d")), 0);
  EXPECT_TRUE(fs_.IsDirectory(W("d")));
  Touch("d/inner");
  MkDir("empty");

  static const struct {
    const char* what;
    bool create;
    const char* rel;
    int expected;
  } kCases[] = {
      {"create existing dir", true, "d", crt::kEEXIST},
      {"create over a file", true, "file", crt::kEEXIST},
      {"create without parent", true, "no/such", crt::kENOENT},
      {"create under a file", true, "file/x", crt::kENOTDIR},
      {"remove non-empty", false, "d", crt::kENOTEMPTY},
      {"remove missing", false, "missing", crt::kENOENT},
      {"remove a file", false, "file", crt::kENOTDIR},
      {"remove empty", false, "empty", 0},
  };
  for (const auto& c : kCases) {
    int rc = c.create ? fs_.CreateDirectory(W(c.rel)) : fs_.RemoveDirectory(W(c.rel));
    EXPECT_EQ(rc, c.expected) << c.what;
  }
  EXPECT_FALSE(fs_.Exists(W("empty")));
}

TEST_F(FileSystemTest, RenameNeverReplaces) {
  Touch("src", "source");
  Touch("other", "other");
  MkDir("dirA");
  Touch("dirA/in");
  MkDir("dirEmpty");

  static const struct {
    const char* what;
    const char* from;
    const char* to;
    int expected;
  } kCases[] = {
      {"file onto file", "src", "other", crt::kEEXIST},
      {"file onto empty dir", "src", "dirEmpty", crt::kEEXIST},
      {"dir onto empty dir", "dirA", "dirEmpty", crt::kEEXIST},
      {"dir onto file", "dirA", "other", crt::kEEXIST},
      {"missing source", "missing", "fresh", crt::kENOENT},
      {"into missing folder", "src", "no/where", crt::kENOENT},
  };
  for (const auto& c : kCases) EXPECT_EQ(fs_.Rename(W(c.from), W(c.to)), c.expected) << c.what;
  EXPECT_EQ(Slurp("other"), "other");
  EXPECT_TRUE(fs_.Exists(W("dirA\\in")));

  EXPECT_EQ(fs_.Rename(W("src"), W("dirA\\moved")), 0);
  EXPECT_EQ(Slurp("dirA/moved"), "source");
  EXPECT_FALSE(fs_.Exists(W("src")));
  EXPECT_EQ(fs_.Rename(W("dirA"), W("dirB")), 0);
  EXPECT_TRUE(fs_.Exists(W("dirB\\moved")));
}

TEST_F(FileSystemTest, ReplaceAndDeleteFile) {
  Touch("new", "new content");
  Touch("old", "old content");
  MkDir("dir");

  EXPECT_EQ(fs_.ReplaceFile(W("new"), W("old")), 0);
  EXPECT_EQ(Slurp("old"), "new content");
  EXPECT_FALSE(fs_.Exists(W("new")));
  EXPECT_EQ(fs_.ReplaceFile(W("missing"), W("old")), crt::kENOENT);
  EXPECT_EQ(fs_.ReplaceFile(W("old"), W("dir")), crt::kEISDIR);

  EXPECT_EQ(fs_.DeleteFile(W("old")), 0);
  EXPECT_FALSE(fs_.Exists(W("old")));
  EXPECT_EQ(fs_.DeleteFile(W("old")), crt::kENOENT);
  EXPECT_EQ(fs_.DeleteFile(W("dir")), crt::kEACCES);
  EXPECT_TRUE(fs_.IsDirectory(W("dir")));
}

TEST_F(FileSystemTest, OverlongNamesFailCleanly) {
  Touch("file");
  const std::string longName(NAME_MAX + 1, 'n');
  std::string longPath;
  while (longPath.size() <= PATH_MAX) longPath += "abcdefgh\\";
  longPath += "x";

  for (const std::string& rel : {longName, longPath}) {
    SCOPED_TRACE(rel.size());
    std::string out;
    EXPECT_EQ(fs_.CreateDirectory(W(rel)), crt::kENAMETOOLONG);
    EXPECT_EQ(fs_.RemoveDirectory(W(rel)), crt::kENAMETOOLONG);
    EXPECT_EQ(fs_.Rename(W("file"), W(rel)), crt::kENAMETOOLONG);
    EXPECT_EQ(fs_.Rename(W(rel), W("other")), crt::kENAMETOOLONG);
    EXPECT_EQ(fs_.ReplaceFile(W("file"), W(rel)), crt::kENAMETOOLONG);
    EXPECT_EQ(fs_.DeleteFile(W(rel)), crt::kENAMETOOLONG);
    EXPECT_EQ(fs_.ReadFile(W(rel), &out), crt::kENAMETOOLONG);
    EXPECT_EQ(fs_.WriteFileAtomic(W(rel), "data"), crt::kENAMETOOLONG);
    EXPECT_FALSE(fs_.Exists(W(rel)));
    EXPECT_THAT(fs_.Find(W(rel)), IsEmpty());
    EXPECT_THAT(fs_.Find(W(rel + "\\*")), IsEmpty());
  }
  EXPECT_EQ(Slurp("file"), "x");
}

TEST_F(FileSystemTest, ReadFile) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  Touch("big", big);
  Touch("empty", "");
  MkDir("dir");

  std::string out = "stale";
  EXPECT_EQ(fs_.ReadFile(W("big"), &out), 0);
  EXPECT_EQ(out, big);
  EXPECT_EQ(fs_.ReadFile(W("empty"), &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(fs_.ReadFile(W("missing"), &out), crt::kENOENT);
  EXPECT_EQ(fs_.ReadFile(W("dir"), &out), crt::kEACCES);
}

TEST_F(FileSystemTest, WriteFileAtomicReplacesAndLeavesNoTemp) {
  EXPECT_EQ(fs_.WriteFileAtomic(W("f.xml"), "first"), 0);
  EXPECT_EQ(Slurp("f.xml"), "first");
  EXPECT_EQ(fs_.WriteFileAtomic(W("f.xml"), "second, longer"), 0);
  EXPECT_EQ(Slurp("f.xml"), "second, longer");
  EXPECT_EQ(fs_.WriteFileAtomic(W("f.xml"), ""), 0);
  EXPECT_EQ(Slurp("f.xml"), "");

  MkDir("dir");
  EXPECT_EQ(fs_.WriteFileAtomic(W("dir"), "x"), crt::kEISDIR);
  EXPECT_EQ(fs_.WriteFileAtomic(W("missing\\f"), "x"), crt::kENOENT);

  // Only the target and the folder remain: no temp files after success or failure.
  EXPECT_THAT(Names("*"), ElementsAre(".", "..", "dir", "f.xml"));
  EXPECT_THAT(Names("dir\\*"), ElementsAre(".", ".."));
}

TEST_F(FileSystemTest, CreateDirectoriesMakesEveryMissingLevel) {
  Touch("file");
  MkDir("have");
  struct Case {
    const char* rel;
    int want;
    const char* made;  // a folder that must exist afterwards, or null
  } cases[] = {
      {"a/b/c", crt::kOk, "a/b/c"},
      {"a/b/c", crt::kOk, "a/b/c"},  // again: nothing to do
      {"have/x/", crt::kOk, "have/x"},
      {"file", crt::kENOTDIR, nullptr},
      {"file/below", crt::kENOTDIR, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CreateDirectories(fs_, W(c.rel)), c.want) << c.rel;
    if (c.made) {
      EXPECT_TRUE(stdfs::is_directory(P(c.made))) << c.rel;
    }
  }
  // POSIX paths work as well, as the registry store's do.
  EXPECT_EQ(CreateDirectories(fs_, P("p/q")), crt::kOk);
  EXPECT_TRUE(stdfs::is_directory(P("p/q")));
}

TEST_F(FileSystemTest, OpenForAppendAppendsSizesAndTruncates) {
  std::unique_ptr<AppendableFile> file;
  ASSERT_EQ(fs_.OpenForAppend(W("log"), &file), crt::kOk);
  int64_t size = -1;
  ASSERT_EQ(file->Size(&size), crt::kOk);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(file->Append("one"), crt::kOk);
  EXPECT_EQ(file->Append(std::string("\0two", 4)), crt::kOk);
  ASSERT_EQ(file->Size(&size), crt::kOk);
  EXPECT_EQ(size, 7);
  file.reset();
  EXPECT_EQ(Slurp("log"), std::string("one\0two", 7));

  // A second opening appends after what is there; after Truncate it writes from the start.
  ASSERT_EQ(fs_.OpenForAppend(W("log"), &file), crt::kOk);
  EXPECT_EQ(file->Append("+"), crt::kOk);
  EXPECT_EQ(Slurp("log"), std::string("one\0two+", 8));
  EXPECT_EQ(file->Truncate(), crt::kOk);
  EXPECT_EQ(file->Append("fresh"), crt::kOk);
  file.reset();
  EXPECT_EQ(Slurp("log"), "fresh");

  MkDir("dir");
  EXPECT_EQ(fs_.OpenForAppend(W("dir"), &file), crt::kEISDIR);
  EXPECT_EQ(fs_.OpenForAppend(W("missing\\log"), &file), crt::kENOENT);
  EXPECT_EQ(file, nullptr);
}

// The store, the registry and the log hold calculations and passwords: under the usual umask 022
// nothing this layer makes may be readable by other users. Files made earlier with 0644 are
// narrowed when rewritten (store, registry) or reopened (log).
TEST_F(FileSystemTest, CreatesFilesAndFoldersPrivate) {
  const mode_t oldMask = ::umask(022);
  Touch("old.xml");
  Touch("old.log");
  ASSERT_EQ(::chmod(P("old.xml").c_str(), 0644), 0);
  ASSERT_EQ(::chmod(P("old.log").c_str(), 0644), 0);
  std::unique_ptr<AppendableFile> appended, reopened;
  std::unique_ptr<FileLock> lock;
  struct Case {
    const char* what;
    int rc;
    const char* rel;
    mode_t mode;
  } cases[] = {
      {"CreateDirectory", fs_.CreateDirectory(W("d")), "d", 0750},
      {"CreateDirectories, upper level", CreateDirectories(fs_, W("e/f")), "e", 0750},
      {"CreateDirectories, lower level", crt::kOk, "e/f", 0750},
      {"WriteFileAtomic, new", fs_.WriteFileAtomic(W("d/new.xml"), "x"), "d/new.xml", 0640},
      {"WriteFileAtomic over a 0644 file", fs_.WriteFileAtomic(W("old.xml"), "y"), "old.xml", 0640},
      {"OpenForAppend, new", fs_.OpenForAppend(W("new.log"), &appended), "new.log", 0640},
      {"OpenForAppend of a 0644 file", fs_.OpenForAppend(W("old.log"), &reopened), "old.log", 0640},
      {"LockFile", fs_.LockFile(W("x.lock"), &lock), "x.lock", 0640},
  };
  ::umask(oldMask);
  for (const Case& c : cases) {
    EXPECT_EQ(c.rc, crt::kOk) << c.what;
    struct stat st {};
    ASSERT_EQ(::stat(P(c.rel).c_str(), &st), 0) << c.what;
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.what << ": " << std::oct << (st.st_mode & 07777);
  }
  EXPECT_EQ(Slurp("old.xml"), "y");
}

// The capabilities of a file system follow it through a wrapper where they stay true: a folder
// watch sees what the wrapper writes through to its target, so a test's fault injector keeps
// the watch; a folder reader would read past the wrapper's reads, so it is not passed on.
TEST_F(FileSystemTest, CapabilitiesThroughAWrapper) {
  MkDir("d");
  Touch("d/f", "abc");
  FileSystemWrapper wrapped(fs_);
  struct Case {
    const char* name;
    FileSystem* fs;
    bool watch, reader;
  } cases[] = {{"real", &fs_, true, true}, {"wrapped", &wrapped, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<FolderWatch> watch = c.fs->NewFolderWatch();
    ASSERT_EQ(watch != nullptr, c.watch);
    if (watch) {
      const int id = watch->Add(W("d"));
      ASSERT_GE(id, 0);
      ASSERT_EQ(c.fs->WriteFileAtomic(W("d\\g"), "x"), crt::kOk);
      std::vector<FolderEvent> events;
      ASSERT_TRUE(watch->Drain(&events));
      EXPECT_FALSE(events.empty());
    }
    std::unique_ptr<FolderReader> reader = c.fs->OpenFolderReader(W("d"));
    ASSERT_EQ(reader != nullptr, c.reader);
    if (reader) {
      std::string out;
      FileStamp stamp;
      bool linked = true;
      EXPECT_EQ(reader->ReadStamped("f", &out, &stamp, &linked), crt::kOk);
      EXPECT_EQ(out, "abc");
    }
  }
  EXPECT_EQ(fs_.OpenFolderReader(W("missing")), nullptr);
}

TEST_F(FileSystemTest, LockFileIsExclusiveUntilReleased) {
  std::unique_ptr<FileLock> held;
  ASSERT_EQ(fs_.LockFile(W("store.lock"), &held), crt::kOk);
  EXPECT_TRUE(stdfs::exists(P("store.lock")));

  std::atomic<bool> trying{false}, got{false};
  std::thread other([&] {
    std::unique_ptr<FileLock> mine;
    trying = true;
    EXPECT_EQ(fs_.LockFile(W("store.lock"), &mine), crt::kOk);
    got = true;
  });
  while (!trying.load()) std::this_thread::yield();
  EXPECT_FALSE(got.load());  // on its way in or waiting: not before the holder lets go
  held.reset();
  other.join();
  EXPECT_TRUE(got.load());

  std::unique_ptr<FileLock> none;
  EXPECT_EQ(fs_.LockFile(W("missing\\store.lock"), &none), crt::kENOENT);
  EXPECT_EQ(none, nullptr);
}

TEST_F(FileSystemTest, WriteFileAtomicFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 20; ++i) EXPECT_EQ(fs_.WriteFileAtomic(W("shared"), std::string(1000, 'a' + t)), 0);
    });
  }
  for (std::thread& th : threads) th.join();
  const std::string content = Slurp("shared");
  ASSERT_EQ(content.size(), 1000u);
  EXPECT_EQ(content, std::string(1000, content[0]));
  EXPECT_THAT(Names("*"), ElementsAre(".", "..", "shared"));
}

// A writer killed at any moment leaves the target holding one complete version.
TEST_F(FileSystemTest, WriteFileAtomicSurvivesKill) {
  std::string a(1 << 20, 'A'), b(1 << 19, 'B');
  for (size_t i = 0; i < a.size(); i += 4096) a[i] = static_cast<char>('0' + i % 10);
  const std::string target = W("state.xml");
  ASSERT_EQ(fs_.WriteFileAtomic(target, a), 0);

  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delayUs(0, 30000);
  for (int round = 0; round < 20; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(ready[0]);
      for (uint64_t i = 0;; ++i) {
        if (fs_.WriteFileAtomic(target, (i & 1) ? a : b) != 0) _exit(1);
        if (i == 0) {
          char c = 1;
          if (write(ready[1], &c, 1) != 1) _exit(2);
        }
      }
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "writer failed before its first write";
    close(ready[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer exited on its own, status " << status;

    std::string got;
    ASSERT_EQ(fs_.ReadFile(target, &got), 0);
    ASSERT_TRUE(got == a || got == b) << "round " << round << ": torn file of " << got.size() << " bytes";
  }
}

}  // namespace
}  // namespace kv::platform
