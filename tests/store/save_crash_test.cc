// A process killed at any moment of SaveCalculationObject leaves the stored calculation whole:
// the old or the new version, never a torn or missing file.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "store/lifecycle_fixture.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

constexpr const char* kVersionA = "return 'version A'";
constexpr const char* kVersionB = "return 'version B, which is longer than A so that a torn file shows'";

// Saves Flow1 forever, alternating the two versions; writes one byte to `ready` after the
// first save. Never returns by itself; exits with a status of 2 to 4 when it cannot go on.
[[noreturn]] void SaveForever(CCalcCmdBase& cmd, int ready) {
  ComPtr<IDispatch> calc = store::GetCalculationObject(cmd, Bstr::FromUtf8("Flow1"));
  if (!calc) _exit(2);
  for (long i = 0;; ++i) {
    com::PutProperty(calc.Get(), "Script", Variant::Str(i % 2 ? kVersionA : kVersionB));
    if (!store::SaveCalculationObject(cmd, calc.Get())) _exit(3);
    if (i == 0 && write(ready, "x", 1) != 1) _exit(4);
  }
}

bool KilledBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

// Passes every call to the real file system and kills the process right before the `n`th call
// that changes something, so that a sweep over n stops a save between every two of its steps.
class KillingFileSystem : public platform::FileSystem {
 public:
  KillingFileSystem(platform::FileSystem& real, int n) : real_(real), left_(n) {}
  std::vector<platform::FindEntry> Find(std::string_view p) override { return real_.Find(p); }
  bool Exists(std::string_view p) override { return real_.Exists(p); }
  bool IsDirectory(std::string_view p) override { return real_.IsDirectory(p); }
  int ReadFile(std::string_view p, std::string* out) override { return real_.ReadFile(p, out); }
  int CreateDirectory(std::string_view p) override { return Step(), real_.CreateDirectory(p); }
  int RemoveDirectory(std::string_view p) override { return Step(), real_.RemoveDirectory(p); }
  int Rename(std::string_view f, std::string_view t) override { return Step(), real_.Rename(f, t); }
  int ReplaceFile(std::string_view f, std::string_view t) override { return Step(), real_.ReplaceFile(f, t); }
  int DeleteFile(std::string_view p) override { return Step(), real_.DeleteFile(p); }
  int WriteFileAtomic(std::string_view p, std::string_view d) override { return Step(), real_.WriteFileAtomic(p, d); }
  int OpenForAppend(std::string_view p, std::unique_ptr<platform::AppendableFile>* f) override {
    return real_.OpenForAppend(p, f);
  }
  int LockFile(std::string_view p, std::unique_ptr<platform::FileLock>* l) override { return real_.LockFile(p, l); }

 private:
  void Step() {
    if (--left_ == 0) raise(SIGKILL);
  }
  platform::FileSystem& real_;
  int left_;
};

class SaveCrashTest : public LifecycleFixture {
 protected:
  // Forks a child that saves Flow1 in a loop; `stop` ends it, given the child's pid once it
  // has saved once (or nothing, for a child that stops itself). Returns the wait status.
  template <class Stop>
  int RunSaver(int killAtCall, Stop stop) {
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child < 0) {
      ADD_FAILURE() << "fork failed";
      return 0;
    }
    if (child == 0) {
      close(pipeFds[0]);
      KillingFileSystem killing(*env.env().fs, killAtCall);
      platform::Env childEnv = env.env();
      if (killAtCall > 0) childEnv.fs = &killing;
      platform::ScopedEnv scope(&childEnv);
      SaveForever(*cmd, pipeFds[1]);
    }
    close(pipeFds[1]);
    char byte;
    if (read(pipeFds[0], &byte, 1) == 1) stop(child);  // EOF: the child ended before a save
    close(pipeFds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return status;
  }
};

TEST_F(SaveCrashTest, KilledAtRandomMoments) {
  StoreCalculation("Flow1", kVersionA);
  std::random_device seedSource;
  const unsigned seed = seedSource();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pauseUs(0, 20000);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int status = RunSaver(0, [&](pid_t child) {
      usleep(static_cast<useconds_t>(pauseUs(rng)));
      kill(child, SIGKILL);
    });
    EXPECT_TRUE(KilledBySigkill(status)) << status;
    const std::string script = StoredScript("Flow1");
    EXPECT_TRUE(script == kVersionA || script == kVersionB) << script;
  }
}

// Every gap between two file-system steps of a save, in the first saves and in later ones
// (once a recycled copy exists), with the process killed right there.
TEST_F(SaveCrashTest, KilledBetweenEveryTwoSteps) {
  StoreCalculation("Flow1", kVersionA);
  for (int call = 1; call <= 24; ++call) {
    SCOPED_TRACE("killed before file-system call " + std::to_string(call));
    const int status = RunSaver(call, [](pid_t) {});
    EXPECT_TRUE(KilledBySigkill(status)) << status;
    const std::string script = StoredScript("Flow1");
    EXPECT_TRUE(script == kVersionA || script == kVersionB) << script;
  }
}

}  // namespace
}  // namespace kv::testing
