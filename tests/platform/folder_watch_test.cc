#include "platform/folder_watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "support/temp_dir.h"

namespace kv::platform {
namespace {

namespace stdfs = std::filesystem;

void Write(const std::string& path, const std::string& text, int flags = O_CREAT | O_TRUNC | O_WRONLY) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
}

class FolderWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(watch_);
    stdfs::create_directories(dir_ / "Calc/Area1");
    Write(dir_ / "Calc/A.zrc", "one");
  }
  std::vector<FolderEvent> Drain() {
    std::vector<FolderEvent> events;
    EXPECT_TRUE(watch_->Drain(&events));
    return events;
  }

  kv::testing::TempDir dir_;
  std::unique_ptr<FolderWatch> watch_ = MakeFolderWatch();
};

// Every way another process changes a stored file or folder is queued by the time its call
// returns, naming the entry.
TEST_F(FolderWatchTest, EveryKindOfChangeIsQueuedBeforeTheCallReturns) {
  struct Case {
    const char* what;
    std::function<void(const kv::testing::TempDir&)> change;
    const char* name;
    bool isDirectory;
  };
  const Case cases[] = {
      {"new file", [](auto& d) { Write(d / "Calc/B.zrc", "b"); }, "B.zrc", false},
      {"rewritten in place, same size", [](auto& d) { Write(d / "Calc/A.zrc", "two", O_WRONLY); }, "A.zrc", false},
      {"replaced by a rename", [](auto& d) {
         Write(d / "Calc/tmp", "new");
         std::rename((d / "Calc/tmp").c_str(), (d / "Calc/A.zrc").c_str());
       }, "A.zrc", false},
      {"deleted", [](auto& d) { ::unlink((d / "Calc/A.zrc").c_str()); }, "A.zrc", false},
      {"touched", [](auto& d) { ::utimensat(AT_FDCWD, (d / "Calc/A.zrc").c_str(), nullptr, 0); }, "A.zrc", false},
      {"folder renamed", [](auto& d) { std::rename((d / "Calc/Area1").c_str(), (d / "Calc/Area2").c_str()); },
       "Area2", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    stdfs::remove_all(dir_ / "Calc");
    stdfs::create_directories(dir_ / "Calc/Area1");
    Write(dir_ / "Calc/A.zrc", "one");
    const int id = watch_->Add(dir_ / "Calc");
    ASSERT_GE(id, 0);
    Drain();
    c.change(dir_);
    bool seen = false;
    for (const FolderEvent& e : Drain())
      if (e.watch == id && e.name == c.name && e.isDirectory == c.isDirectory) seen = true;
    EXPECT_TRUE(seen);
    watch_->Remove(id);
  }
}

TEST_F(FolderWatchTest, TheFolderItselfGoingEndsItsWatch) {
  const int id = watch_->Add(dir_ / "Calc/Area1");
  ASSERT_GE(id, 0);
  EXPECT_TRUE(Drain().empty());  // nothing happened: nothing to report, without waiting
  std::rename((dir_ / "Calc/Area1").c_str(), (dir_ / "Calc/Area9").c_str());
  bool self = false;
  for (const FolderEvent& e : Drain()) self |= e.watch == id && e.self;
  EXPECT_TRUE(self);
}

TEST_F(FolderWatchTest, WhatCannotBeWatchedIsRefused) {
  EXPECT_EQ(watch_->Add(dir_ / "Missing"), -1);
  EXPECT_EQ(watch_->Add(dir_ / "Calc/A.zrc"), -1);  // a file
  ManualFolderWatch manual;
  manual.refuse = true;
  EXPECT_EQ(manual.Add(dir_ / "Calc"), -1);
}

}  // namespace
}  // namespace kv::platform
