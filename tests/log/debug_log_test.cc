#include "log/debug_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "log/log_file.h"
#include "platform/path.h"
#include "support/test_env.h"

namespace kv {
namespace {

using platform::RegHive;
using platform::RegValue;
using testing::AsciiUtf16;
using testing::MessageOf;
using testing::ReadBytes;
using testing::ReadLogLines;

constexpr const char* kKey = "SOFTWARE\\Quorlith\\Morvane Calc\\Logging\\Kelvarin";

std::string Tid() { return std::to_string(::gettid()); }

class DebugLogTest : public ::testing::Test {
 protected:
  void Init() { log_.Init(env_.env(), static_cast<int>(LogKind::Kelvarin), "", "17.0.0.266"); }
  std::string FsPath() { return platform::ToFsPath(log_.FilePath()); }
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const auto& line : ReadLogLines(FsPath())) out.push_back(MessageOf(line));
    return out;
  }

  testing::TestEnv env_;
  DebugLog log_;
};

TEST(DebugLogFormat, LineBytesOnFixedClock) {
  struct Case {
    const char* tz;
    int64_t unixMs;
    const char* message;
    const char* detail;
    const char* want;  // after "(<tid>) ", line end included
  } cases[] = {
      {"UTC0", 1765324800000, "msg", "detail", "12/10/2025 00:00:00.000 msg: detail\r\n"},
      {"UTC0", 1765324800000 + 3723456, "Kelvarin::Run: failed call to CoInitializeEx", "",
       "12/10/2025 01:02:03.456 Kelvarin::Run: failed call to CoInitializeEx\r\n"},
      {"EST5EDT,M3.2.0,M11.1.0", 1765324800000, "ICalcCommands::GetVersion", "Method - Start",
       "12/09/2025 19:00:00.000 ICalcCommands::GetVersion: Method - Start\r\n"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1751630400007, "summer", "x", "07/04/2025 14:00:00.007 summer: x\r\n"},
      // A line feed inside the text stays visible, escaped; only the line end is CR LF.
      {"UTC0", 1765324800999, "two\nrows", "", "12/10/2025 00:00:00.999 two\\nrows\r\n"},
  };
  for (const auto& c : cases) {
    testing::TestEnv env(c.tz, c.unixMs);
    DebugLog log;
    log.Init(env.env(), 0, "", "17.0.0.266");
    log.Write(c.message, c.detail);
    const std::string want = "\xFF\xFE" + AsciiUtf16("(" + Tid() + ") " + c.want);
    EXPECT_EQ(ReadBytes(platform::ToFsPath(log.FilePath())), want) << c.want;
  }
}

TEST_F(DebugLogTest, NonAsciiTextIsUtf16LittleEndian) {
  Init();
  log_.Write("\xC3\xA9\xF0\x9D\x84\x9E", "");  // U+00E9, U+1D11E (a surrogate pair)
  const std::string want = "\xFF\xFE" + AsciiUtf16("(" + Tid() + ") 12/10/2025 00:00:00.000 ") +
                           std::string("\xE9\x00\x34\xD8\x1E\xDD", 6) + AsciiUtf16("\r\n");
  EXPECT_EQ(ReadBytes(FsPath()), want);
}

TEST_F(DebugLogTest, AppendsWithOneByteOrderMarkAndEmptyMessageGivesBareLineEnd) {
  Init();
  log_.Write("", "detail is dropped");
  EXPECT_EQ(ReadBytes(FsPath()), "\xFF\xFE" + AsciiUtf16("\r\n"));
  log_.Write("first", "");
  log_.Write("", "");
  log_.Write("second", "d");
  EXPECT_EQ(ReadBytes(FsPath()), "\xFF\xFE" + AsciiUtf16("\r\n(" + Tid() + ") 12/10/2025 00:00:00.000 first\r\n\r\n(" +
                                                         Tid() + ") 12/10/2025 00:00:00.000 second: d\r\n"));
}

// A logged value is one line whatever it holds: a name with a line feed must not forge a line of
// its own, nor drive the reader's terminal.
TEST_F(DebugLogTest, ControlCharactersAreEscaped) {
  Init();
  struct Case {
    const char* what;
    std::string message, detail, want;
  } cases[] = {
      {"forged line in the message", "Name( a\n(1234) 12/10/2026 10:00:00.000 Security: granted )", "",
       "Name( a\\n(1234) 12/10/2026 10:00:00.000 Security: granted )"},
      {"forged line in the detail", "msg", "x\r\n(1) 12/10/2026 y", "msg: x\\r\\n(1) 12/10/2026 y"},
      {"tab, escape, NUL, DEL", "a\tb\x1b[2Jc" + std::string(1, '\0') + "d\x7f", "", "a\\tb\\x1b[2Jc\\x00d\\x7f"},
      {"NEL and line separator", "a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9", "", "a\\u0085b\\u2028c\\u2029"},
      {"ordinary text unchanged", "HKLM\\SOFTWARE\\x: \xC3\xA9 \xE2\x80\xA6 ( 1 )", "d: e",
       "HKLM\\SOFTWARE\\x: \xC3\xA9 \xE2\x80\xA6 ( 1 ): d: e"},
  };
  for (const Case& c : cases) log_.Write(c.message, c.detail);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), std::size(cases)) << "one line per write";
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(messages[i], cases[i].want) << cases[i].what;
}

// One huge argument must not fill the size limit by itself and so empty the log.
TEST_F(DebugLogTest, LongValueIsCutWithItsLengthNoted) {
  Init();
  log_.Write("before", "");
  const std::string huge(100 * 1024, 'v');
  log_.Write("Name( " + huge + " )", "");
  log_.Write("detail", huge);
  // Cut at 4096 bytes, never inside a character: 4095 ASCII bytes, then a 2-byte character.
  log_.Write(std::string(4095, 'w') + "\xC3\xA9" + "tail", "");
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0], "before") << "the earlier line survives";
  EXPECT_EQ(messages[1], "Name( " + std::string(4096 - 6, 'v') + "... (102408 bytes)");
  EXPECT_EQ(messages[2], "detail: " + std::string(4096, 'v') + "... (102400 bytes)");
  EXPECT_EQ(messages[3], std::string(4095, 'w') + "... (4101 bytes)");
  // Exactly at the cap nothing is cut.
  log_.Write(std::string(4096, 'x'), "");
  EXPECT_EQ(Messages().back(), std::string(4096, 'x'));
}

// A system-info stand-in whose executable path can be set.
struct ExeSystemInfo : testing::FakeSystemInfo {
  std::string exePath;
  std::string ModulePath() override { return exePath; }
};

TEST(DebugLogFileName, JoinsItsParts) {
  struct Case {
    const char* exePath;
    int kind;
    const char* namePart;
    const char* versionPart;
    const char* user;
    const char* want;
  } cases[] = {
      {"/opt/kelvarin/bin/Kelvarin.exe", 0, "", "17.0.0.266", "SYSTEM", "Kelvarin.Kelvarin.x86.17.0.0.266.SYSTEM.log"},
      {"/opt/kelvarin/bin/kelvarin", 1, "Plant", "", "calcuser", "kelvarin.MorvaneCalc.Plant.x86.calcuser.log"},
      {"C:\\Prog\\calc.v2\\Kel.Var.exe", 2, "", "1.2", "calcuser", "Kel.Var.CalcHistory.x86.1.2.calcuser.log"},
      {"/opt/kel.d/kelvarin", 3, "A", "B", "calcuser", "kelvarin.CalcFunctions.A.x86.B.calcuser.log"},
      {"/opt/kelvarin/bin/kelvarin", 0, "", "", "", "kelvarin.Kelvarin.x86.UnknownUser.log"},
      {"/opt/kelvarin/bin/kelvarin", 4, "", "", "calcuser", "kelvarin..x86.calcuser.log"},
  };
  for (const auto& c : cases) {
    testing::TestEnv env;
    ExeSystemInfo sys;
    sys.commonAppData = env.system().commonAppData;
    sys.exePath = c.exePath;
    sys.user = c.user;
    platform::Env withExe = env.env();
    withExe.system = &sys;

    DebugLog log;
    log.Init(withExe, c.kind, c.namePart, c.versionPart);
    const std::string folder = sys.commonAppData + "\\Quorlith\\DiagnosticLogs\\Morvane Calc\\";
    EXPECT_EQ(log.FilePath(), folder + c.want);
    EXPECT_TRUE(std::filesystem::is_directory(platform::ToFsPath(folder))) << c.want;
  }
}

TEST_F(DebugLogTest, ModuleFolderWhenNoCommonAppDataFolder) {
  env_.system().commonAppData = "";
  env_.system().moduleFolder = env_.Path("bin");
  std::filesystem::create_directories(env_.Path("bin"));
  Init();
  log_.Write("beside the executable", "");
  EXPECT_EQ(log_.FilePath(), env_.Path("bin") + "\\kelvarin.Kelvarin.x86.17.0.0.266.calcuser.log");
  EXPECT_EQ(Messages(), std::vector<std::string>{"beside the executable"});
}

TEST_F(DebugLogTest, PrefixIsFixedByTheFirstWrite) {
  Init();
  log_.Write("one", "");
  const std::string first = FsPath();
  env_.system().commonAppData = env_.Path("elsewhere");
  Init();
  log_.Write("two", "");
  EXPECT_EQ(FsPath(), first);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"one", "two"}));
}

TEST(DebugLogCategories, RegistryValues) {
  std::vector<uint8_t> on100 = {'O', 'N', 0};
  on100.resize(100, 'x');
  std::vector<uint8_t> on101 = on100;
  on101.push_back('x');
  struct Case {
    const char* what;
    std::optional<RegValue> methods;
    bool wantOn;
  } cases[] = {
      {"no value", std::nullopt, false},
      {"upper case", RegValue::String("ON"), true},
      {"lower case", RegValue::String("on"), true},
      {"mixed case", RegValue::String("On"), true},
      {"expand string", RegValue::String("oN", platform::REG_EXPAND_SZ), true},
      {"digit", RegValue::String("1"), false},
      {"trailing blank", RegValue::String("ON "), false},
      {"empty", RegValue::String(""), false},
      {"off", RegValue::String("OFF"), false},
      // Other types are read as text up to their first NUL, in a 100-byte buffer.
      {"binary text filling the buffer", RegValue::Binary(on100), true},
      {"binary text one byte too long", RegValue::Binary(on101), false},
      {"DWORD whose bytes spell on", RegValue::Dword(0x6E6F), true},
      {"DWORD 1", RegValue::Dword(1), false},
  };
  for (const auto& c : cases) {
    testing::TestEnv env;
    env.registry().CreateKey(RegHive::LocalMachine, kKey);
    if (c.methods) env.registry().SetValue(RegHive::LocalMachine, kKey, "Methods", *c.methods);
    DebugLog log;
    log.Init(env.env(), 0, "", "");
    EXPECT_EQ(log.IsOn(LogCategory::Methods), c.wantOn) << c.what;
    EXPECT_TRUE(log.IsOn(LogCategory::Errors)) << c.what;
    EXPECT_FALSE(log.IsOn(LogCategory::Results)) << c.what;
  }
}

TEST(DebugLogCategories, EachReadsItsOwnValueAndErrorsStaysOn) {
  const char* names[] = {"Errors", "Methods", "Calls", "InParams", "Results", "Steps", "Validation", "Security"};
  // Bit k of the category's index says whether round k switches it on, so every category sees
  // a pattern of its own and a mix-up of two value names shows.
  for (int round = 0; round < 3; ++round) {
    testing::TestEnv env;
    for (int i = 0; i < kLogCategoryCount; ++i)
      env.registry().SetValue(RegHive::LocalMachine, kKey, names[i], RegValue::String((i >> round) & 1 ? "on" : "off"));
    DebugLog log;
    log.Init(env.env(), 0, "", "");
    for (int i = 0; i < kLogCategoryCount; ++i)
      EXPECT_EQ(log.IsOn(static_cast<LogCategory>(i)), i == 0 || ((i >> round) & 1)) << names[i] << " round " << round;
  }
}

TEST_F(DebugLogTest, UnknownKindReadsNoSettings) {
  env_.registry().SetValue(RegHive::LocalMachine, kKey, "Methods", RegValue::String("ON"));
  log_.Init(env_.env(), 4, "", "");
  EXPECT_FALSE(log_.IsOn(LogCategory::Methods));
  EXPECT_TRUE(log_.IsOn(LogCategory::Errors));
}

TEST(DebugLogSize, LimitFromRegistry) {
  // A value logs at most 4,096 bytes, so big lines are many: with 4,000 bytes of padding a line
  // is 8,076..8,092 bytes of UTF-16 (whatever the thread id's and line number's digits), so 126
  // fit in 1,024,000 and 253 in two units, never 127 or 254.
  const std::string big(4000, 'b');
  struct Case {
    const char* what;
    std::optional<RegValue> logSize;
    const std::string* padding;
    int lines;
    int wantKept;  // the last lines written
  } cases[] = {
      {"default keeps small lines", std::nullopt, nullptr, 3, 3},
      {"zero keeps only the last line", RegValue::Dword(0), nullptr, 3, 1},
      {"a string is not a size", RegValue::String("0"), nullptr, 3, 3},
      {"a limit past 32 bits does not wrap", RegValue::Dword(2098), nullptr, 3, 3},
      {"a negative size keeps only the last line", RegValue::Dword(0xFFFFFFFF), nullptr, 3, 1},
      {"126 big lines stay under the default", std::nullopt, &big, 126, 126},
      {"the line that passes the default limit is alone", std::nullopt, &big, 127, 1},
      {"two units hold the 127th big line", RegValue::Dword(2), &big, 127, 127},
  };
  for (const auto& c : cases) {
    testing::TestEnv env;
    if (c.logSize) env.registry().SetValue(RegHive::LocalMachine, kKey, "LogSize", *c.logSize);
    DebugLog log;
    log.Init(env.env(), 0, "", "");
    for (int i = 1; i <= c.lines; ++i) log.Write("line " + std::to_string(i), c.padding ? *c.padding : "");
    std::vector<std::string> want;
    for (int i = c.lines - c.wantKept + 1; i <= c.lines; ++i)
      want.push_back("line " + std::to_string(i) + (c.padding ? ": " + *c.padding : ""));
    std::vector<std::string> got;
    for (const auto& line : ReadLogLines(platform::ToFsPath(log.FilePath()))) got.push_back(MessageOf(line));
    EXPECT_EQ(got.size(), want.size()) << c.what;
    EXPECT_TRUE(got == want) << c.what;
  }
}

TEST_F(DebugLogTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  Init();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i)
        log_.Write("writer " + std::to_string(t) + " line " + std::to_string(i), std::string(20 + t, 'a' + t));
    });
  for (auto& th : threads) th.join();

  static const std::regex shape(R"(^\((\d+)\) 12/10/2025 00:00:00\.000 writer (\d) line (\d+): ([a-h]+)$)");
  std::map<int, int> next;             // writer -> next line number expected
  std::map<int, std::string> tidOf;    // writer -> its thread id
  const auto lines = ReadLogLines(FsPath());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const int t = std::stoi(m[2]);
    EXPECT_EQ(m[4].str(), std::string(20 + t, 'a' + t)) << line;
    EXPECT_EQ(std::stoi(m[3]), next[t]++) << line;
    auto it = tidOf.emplace(t, m[1].str()).first;
    EXPECT_EQ(it->second, m[1].str()) << "one thread id per writer";
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

TEST(DebugLogOpenFailure, ReportsOnStandardError) {
  struct Case {
    const char* what;
    bool needsNonRoot;
    void (*breakIt)(testing::TestEnv&, DebugLog&);
    const char* want;
  } cases[] = {
      {"a level of the log folder is a file", false,
       [](testing::TestEnv& env, DebugLog& log) {
         std::ofstream(env.system().commonAppData + "/Quorlith") << "not a folder";
         log.Init(env.env(), 0, "", "");
       },
       "Failed to open file: 20\n"},
      {"the file name is taken by a folder", false,
       [](testing::TestEnv& env, DebugLog& log) {
         log.Init(env.env(), 0, "", "");
         std::filesystem::create_directories(platform::ToFsPath(log.FilePath()));
       },
       "Failed to open file: 21\n"},
      {"the folder may not be written", true,
       [](testing::TestEnv& env, DebugLog& log) {
         log.Init(env.env(), 0, "", "");
         const std::string path = platform::ToFsPath(log.FilePath());
         ::chmod(std::filesystem::path(path).parent_path().c_str(), 0555);
       },
       "Failed to open file: Access Denied: 13\n"},
  };
  for (const auto& c : cases) {
    if (c.needsNonRoot && ::geteuid() == 0) continue;  // permissions do not stop root
    testing::TestEnv env;
    DebugLog log;
    c.breakIt(env, log);
    ::testing::internal::CaptureStderr();
    log.Write("lost", "line");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.want) << c.what;
    EXPECT_FALSE(std::filesystem::is_regular_file(platform::ToFsPath(log.FilePath()))) << c.what;
  }
}

// A log file on the real file system whose opening or appending fails while told to.
class FailingAppendFile : public platform::AppendableFile {
 public:
  FailingAppendFile(std::unique_ptr<platform::AppendableFile> real, int appendError)
      : real_(std::move(real)), appendError_(appendError) {}
  int Append(std::string_view data) override { return appendError_ ? appendError_ : real_->Append(data); }
  int Size(int64_t* size) override { return real_->Size(size); }
  int Truncate() override { return real_->Truncate(); }

 private:
  std::unique_ptr<platform::AppendableFile> real_;
  int appendError_;
};

class FailingLogFs : public platform::FileSystemWrapper {
 public:
  FailingLogFs() : FileSystemWrapper(platform::RealFileSystem()) {}
  int openError = 0, appendError = 0;

  int OpenForAppend(std::string_view path, std::unique_ptr<platform::AppendableFile>* file) override {
    if (openError) return openError;
    std::unique_ptr<platform::AppendableFile> real;
    if (int err = FileSystemWrapper::OpenForAppend(path, &real)) return err;
    *file = std::make_unique<FailingAppendFile>(std::move(real), appendError);
    return platform::crt::kOk;
  }
};

TEST(DebugLogWriteFailure, LosesTheLineAndNothingElse) {
  struct Case {
    const char* what;
    int FailingLogFs::*fault;
    int err;
    const char* reported;  // on standard error
  } cases[] = {
      {"the file cannot be opened", &FailingLogFs::openError, platform::crt::kENOSPC, "Failed to open file: 28\n"},
      {"the file may not be opened", &FailingLogFs::openError, platform::crt::kEACCES,
       "Failed to open file: Access Denied: 13\n"},
      {"the line cannot be written", &FailingLogFs::appendError, platform::crt::kENOSPC, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FailingLogFs fs;
    testing::TestEnv env("UTC0", 1765324800000, fs);
    DebugLog log;
    log.Init(env.env(), 0, "", "");
    log.Write("before", "");
    fs.*c.fault = c.err;
    ::testing::internal::CaptureStderr();
    log.Write("lost", "line");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.reported);
    fs.*c.fault = 0;
    log.Write("after", "");
    std::vector<std::string> got;
    for (const auto& line : ReadLogLines(platform::ToFsPath(log.FilePath()))) got.push_back(MessageOf(line));
    EXPECT_EQ(got, (std::vector<std::string>{"before", "after"}));
  }
}

// Records every log file it is asked to open and opens none, so a fault cannot leave a stray
// file behind.
class RecordingLogFs : public platform::FileSystemWrapper {
 public:
  RecordingLogFs() : FileSystemWrapper(platform::RealFileSystem()) {}
  std::vector<std::string> opened;

  int OpenForAppend(std::string_view path, std::unique_ptr<platform::AppendableFile>*) override {
    opened.emplace_back(path);
    return platform::crt::kEACCES;
  }
};

// With neither a data folder nor a module folder the file name would be built from the other
// parts alone (a stray "..x86.root.log" in the working directory once): the lines go to standard
// error instead, after one line saying why, and no file is opened anywhere.
TEST(DebugLogNoFolder, WritesToStandardErrorAndOpensNoFile) {
  RecordingLogFs fs;
  testing::TestEnv env("UTC0", 1765324800000, fs);
  env.system().commonAppData = "";
  env.system().moduleFolder = "";
  DebugLog log;
  log.Init(env.env(), static_cast<int>(LogKind::Kelvarin), "", "17.0.0.266");
  ::testing::internal::CaptureStderr();
  log.Write("first", "");
  log.Write("", "");
  log.Write("second", "a\nb");
  const std::string stamp = "(" + Tid() + ") 12/10/2025 00:00:00.000 ";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "kelvarin: no log folder; logging to standard error\n" + stamp + "first\n\n" + stamp + "second: a\\nb\n");
  EXPECT_EQ(fs.opened, std::vector<std::string>{});
  EXPECT_EQ(log.FilePath(), "") << "no file to name";
}

TEST(DebugLogBeforeInit, DropsLines) {
  testing::TestEnv env;
  DebugLog log;
  ::testing::internal::CaptureStderr();
  log.Write("nowhere to go", "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  log.Init(env.env(), 0, "", "");
  EXPECT_FALSE(std::filesystem::exists(platform::ToFsPath(log.FilePath())));
}

TEST(DebugLogHResultText, NamesAndTextsOfWhatEachStatusMeans) {
  struct Case {
    com::HRESULT hr;
    const char* want;
  } cases[] = {
      {com::S_OK, "S_OK"},
      {com::S_FALSE, "S_FALSE"},
      {com::E_INVALIDARG, "E_INVALIDARG"},
      {com::E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {com::E_POINTER, "E_POINTER"},
      {com::E_FAIL, "E_FAIL"},
      {com::E_UNEXPECTED, "E_UNEXPECTED"},
      // Win32 codes the store wraps read as what they mean on that system, not as the Linux
      // errno of the same number (5 "Input/output error", 3 "No such process", 112 "Host is down").
      {com::HResultFromWin32(2), "ERROR_FILE_NOT_FOUND: file not found"},
      {com::HResultFromWin32(3), "ERROR_PATH_NOT_FOUND: path not found"},
      {com::E_ACCESSDENIED, "E_ACCESSDENIED: access denied"},
      {com::HResultFromWin32(112), "ERROR_DISK_FULL: not enough space on the disk"},
      {com::HResultFromWin32(28), "-2147024868"},
      {com::HResultFromWin32(134), "-2147024762"},
      {static_cast<com::HRESULT>(0x80070000u), "-2147024896"},
      {com::E_NOTIMPL, "E_NOTIMPL: not implemented"},
      {com::DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND: member not found"},
      {2, "2"},
  };
  for (const auto& c : cases) EXPECT_EQ(DebugLog::HResultText(c.hr), c.want) << c.want;
}

}  // namespace
}  // namespace kv
