#include "platform/registry_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_info.h"
#include "support/temp_dir.h"
#include "support/test_env.h"

namespace kv::platform {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

constexpr RegHive kLM = RegHive::LocalMachine;
constexpr RegHive kCU = RegHive::CurrentUser;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}

void ExpectSameValue(const RegValue& want, const RegValue& got) {
  EXPECT_EQ(want.type, got.type);
  EXPECT_EQ(want.text, got.text);
  EXPECT_EQ(want.dword, got.dword);
  EXPECT_EQ(want.binary, got.binary);
}

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = scratch_.path(); }

  std::string SystemFile() const { return dir_ + "/system.reg"; }
  std::string UserFile() const { return dir_ + "/user.reg"; }

  // Each call is a separate instance, as another process would have.
  std::unique_ptr<RegistryStore> Open() { return OpenAt(SystemFile(), UserFile()); }
  std::unique_ptr<RegistryStore> OpenAt(const std::string& system, const std::string& user,
                                        FileSystem& fs = RealFileSystem()) {
    return std::make_unique<RegistryStore>(fs, system, user, [this](const std::string& m) {
      std::lock_guard<std::mutex> lock(errorsMu_);
      errors_.push_back(m);
    });
  }
  std::unique_ptr<RegistryStore> OpenOn(FileSystem& fs) { return OpenAt(SystemFile(), UserFile(), fs); }

  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> lock(errorsMu_);
    return errors_;
  }

  kv::testing::TempDir scratch_;
  std::string dir_;
  std::mutex errorsMu_;
  std::vector<std::string> errors_;
};

TEST_F(RegistryStoreTest, ValuesSurviveTheFile) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  struct Case {
    const char* label;
    std::string name;
    RegValue value;
  };
  const Case cases[] = {
      {"empty string", "Empty", RegValue::String("")},
      {"plain", "Plain", RegValue::String("hello world")},
      {"quotes and backslashes", R"(Na"me\with\\slashes)", RegValue::String(R"(C:\Program Files\"x"\\srv\)")},
      {"line breaks and tabs", "Breaks", RegValue::String("a\nb\r\nc\td\n")},
      {"NUL and control characters", "Controls", RegValue::String(std::string("a\0b\x01\x1f\x7f", 6))},
      {"escapes followed by digits", "Digits", RegValue::String(std::string("\x01" "abcd\0" "12", 8))},
      {"UTF-8", "Größe ✓", RegValue::String("Grüße, 世界 𝄞")},
      {"brackets and equals", "[x]=@", RegValue::String("[Section]\n\"a\"=\"b\"")},
      {"default value", "", RegValue::String("the default")},
      {"expand string", "Path", RegValue::String("%HOME%\\bin;%PATH%", REG_EXPAND_SZ)},
      {"dword zero", "D0", RegValue::Dword(0)},
      {"dword", "D42", RegValue::Dword(42)},
      {"dword max", "DMax", RegValue::Dword(0xFFFFFFFFu)},
      {"binary empty", "B0", RegValue::Binary({})},
      {"binary short", "B3", RegValue::Binary({0x00, 0x7F, 0xFF})},
      {"binary long", "B256", RegValue::Binary(all)},
  };
  const std::string key = "Software\\Quorlith\\Awkward [Key] \"1\"";
  {
    auto store = Open();
    for (const Case& c : cases) ASSERT_EQ(store->SetValue(kLM, key, c.name, c.value), kRegOk) << c.label;
  }
  auto reader = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RegValue got;
    ASSERT_EQ(reader->GetValue(kLM, key, c.name, &got), kRegOk);
    ExpectSameValue(c.value, got);
  }
  std::vector<std::string> names;
  for (const Case& c : cases) names.push_back(c.name);
  EXPECT_EQ(reader->ValueNames(kLM, key), names);
  EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(RegistryStoreTest, WritesWineFormat) {
  struct Case {
    std::string name;
    RegValue value;
    std::string line;
  };
  const Case cases[] = {
      {"S", RegValue::String("a\"b\\c\n"), R"("S"="a\"b\\c\n")"},
      {"Ctl", RegValue::String("\x01z"), R"("Ctl"="\x0001z")"},
      {"Utf8", RegValue::String("é"), "\"Utf8\"=\"é\""},
      {"E", RegValue::String("%X%", REG_EXPAND_SZ), R"("E"=str(2):"%X%")"},
      {"D", RegValue::Dword(42), R"("D"=dword:0000002a)"},
      {"B", RegValue::Binary({1, 2, 0xFF}), R"("B"=hex:01,02,ff)"},
      {"", RegValue::String("d"), R"(@="d")"},
  };
  auto store = Open();
  for (const Case& c : cases) ASSERT_EQ(store->SetValue(kLM, "Software\\Test", c.name, c.value), kRegOk);
  // Created out of order and in mixed case; written sorted level by level without regard to case.
  for (const char* key : {"gamma", "Beta", "alpha", "Alpha B", "ALPHA\\Sub"}) {
    ASSERT_EQ(store->SetValue(kLM, key, "v", RegValue::Dword(1)), kRegOk);
  }
  ASSERT_EQ(store->CreateKey(kLM, "Empty"), kRegOk);

  std::vector<std::string> lines = Lines(ReadText(SystemFile()));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "WINE REGISTRY Version 2");
  for (const Case& c : cases) EXPECT_THAT(lines, ::testing::Contains(c.line));

  std::vector<std::string> sections;
  for (const std::string& l : lines) {
    if (!l.empty() && l[0] == '[') {
      EXPECT_THAT(l, MatchesRegex(R"(\[.*\] [0-9]+)"));
      sections.push_back(l.substr(0, l.find(']') + 1));
    }
  }
  EXPECT_THAT(sections, ElementsAre("[alpha]", R"([alpha\\Sub])", "[Alpha B]", "[Beta]", "[Empty]", "[gamma]",
                                    R"([Software\\Test])"));
}

TEST_F(RegistryStoreTest, ReadsHandWrittenFile) {
  const std::string text = R"(WINE REGISTRY Version 2
;; All keys relative to \\Machine
#arch=win64

[Software\\Quorlith\\Morvane Calc] 1700000000
#time=1d9a0b0c0d0e0f0
@="Default text"   
"Install Dir"="C:\\Program Files\\Morvane"
"Escaped"="tab\there \x00e9 \"q\" \xd834\xdd1e"
"Count"=dword:0000002a
"Blob"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\
  17,18,19
"Expand"=str(2):"%SystemRoot%\\x"
"Wide"=hex(2):41,00,42,00,00,00
"Dw"=hex(4):2a,00,00,00

[Software\\Other]
"NoStamp"="yes"
)";
  std::vector<uint8_t> blob;
  for (int i = 0; i < 0x1A; ++i) blob.push_back(static_cast<uint8_t>(i));

  for (bool crlf : {false, true}) {
    SCOPED_TRACE(crlf ? "CRLF" : "LF");
    std::string content;
    for (char c : text) content += (c == '\n' && crlf) ? std::string("\r\n") : std::string(1, c);
    WriteText(SystemFile(), content);

    auto store = Open();
    const std::string key = "Software\\Quorlith\\Morvane Calc";
    EXPECT_TRUE(store->KeyExists(kLM, "Software"));
    EXPECT_THAT(store->SubKeys(kLM, "Software"), ElementsAre("Quorlith", "Other"));
    EXPECT_THAT(store->ValueNames(kLM, key),
                ElementsAre("", "Install Dir", "Escaped", "Count", "Blob", "Expand", "Wide", "Dw"));
    struct Want {
      const char* name;
      RegValue value;
    };
    const Want wants[] = {
        {"", RegValue::String("Default text")},
        {"Install Dir", RegValue::String("C:\\Program Files\\Morvane")},
        {"Escaped", RegValue::String("tab\there é \"q\" 𝄞")},
        {"Count", RegValue::Dword(42)},
        {"Blob", RegValue::Binary(blob)},
        {"Expand", RegValue::String("%SystemRoot%\\x", REG_EXPAND_SZ)},
        {"Wide", RegValue::String("AB", REG_EXPAND_SZ)},
        {"Dw", RegValue::Dword(42)},
    };
    for (const Want& w : wants) {
      SCOPED_TRACE(w.name);
      RegValue got;
      ASSERT_EQ(store->GetValue(kLM, key, w.name, &got), kRegOk);
      ExpectSameValue(w.value, got);
    }
    RegValue got;
    ASSERT_EQ(store->GetValue(kLM, "Software\\Other", "NoStamp", &got), kRegOk);
    EXPECT_EQ(got.text, "yes");
    EXPECT_THAT(Errors(), IsEmpty());
  }
}

TEST_F(RegistryStoreTest, KeyAndValueNamesIgnoreCaseAndKeepFirstSpelling) {
  auto store = Open();
  ASSERT_EQ(store->SetValue(kLM, "Software\\Quorlith", "InstallDir", RegValue::String("a")), kRegOk);
  ASSERT_EQ(store->SetValue(kLM, "SOFTWARE\\quorlith", "INSTALLDIR", RegValue::String("b")), kRegOk);
  ASSERT_EQ(store->CreateKey(kLM, "software\\QUORLITH\\Größe"), kRegOk);
  ASSERT_EQ(store->SetValue(kLM, "software\\quorlith\\GRößE", "Ünit", RegValue::Dword(7)), kRegOk);

  auto reader = Open();
  RegValue got;
  ASSERT_EQ(reader->GetValue(kLM, "sOfTwArE\\QuOrLiTh", "installdir", &got), kRegOk);
  EXPECT_EQ(got.text, "b");
  EXPECT_EQ(reader->GetValue(kLM, "SOFTWARE\\QUORLITH\\grÖßE", "Ünit", &got), kRegNotFound)
      << "only ASCII letters fold";
  ASSERT_EQ(reader->GetValue(kLM, "SOFTWARE\\QUORLITH\\GRößE", "ÜNIT", &got), kRegOk);
  EXPECT_EQ(got.dword, 7u);
  EXPECT_THAT(reader->SubKeys(kLM, ""), ElementsAre("Software"));
  EXPECT_THAT(reader->SubKeys(kLM, "software"), ElementsAre("Quorlith"));
  EXPECT_THAT(reader->SubKeys(kLM, "SOFTWARE\\QUORLITH"), ElementsAre("Größe"));
  EXPECT_THAT(reader->ValueNames(kLM, "software\\quorlith"), ElementsAre("InstallDir"));
  // The hives are separate files.
  EXPECT_FALSE(reader->KeyExists(kCU, "Software"));
}

TEST_F(RegistryStoreTest, CreateKeyMakesTheWholeChain) {
  auto store = Open();
  ASSERT_EQ(store->CreateKey(kCU, "A\\B\\C"), kRegOk);
  ASSERT_EQ(store->CreateKey(kCU, "a\\b\\c"), kRegOk);  // exists: nothing changes
  EXPECT_FALSE(std::filesystem::exists(SystemFile()));

  auto reader = Open();
  for (const char* key : {"A", "a\\B", "A\\B\\C", "\\A\\\\B\\C\\", ""}) {
    EXPECT_TRUE(reader->KeyExists(kCU, key)) << key;
  }
  EXPECT_FALSE(reader->KeyExists(kCU, "A\\C"));
  EXPECT_FALSE(reader->KeyExists(kCU, "A\\B\\C\\D"));
  EXPECT_THAT(reader->SubKeys(kCU, "A"), ElementsAre("B"));
  EXPECT_THAT(reader->SubKeys(kCU, "A\\B\\C"), IsEmpty());
  EXPECT_THAT(reader->ValueNames(kCU, "A\\B\\C"), IsEmpty());
}

TEST_F(RegistryStoreTest, DeleteValueAndKey) {
  auto store = Open();
  for (const char* key : {"A", "A\\B\\C", "AB", "A B", "B\\A"}) {
    ASSERT_EQ(store->SetValue(kLM, key, "v", RegValue::Dword(1)), kRegOk);
  }
  ASSERT_EQ(store->SetValue(kLM, "A", "w", RegValue::Dword(2)), kRegOk);

  EXPECT_EQ(store->DeleteValue(kLM, "a", "V"), kRegOk);
  EXPECT_EQ(store->DeleteValue(kLM, "A", "v"), kRegNotFound);
  EXPECT_EQ(store->DeleteValue(kLM, "Missing", "v"), kRegNotFound);
  EXPECT_THAT(store->ValueNames(kLM, "A"), ElementsAre("w"));

  EXPECT_EQ(store->DeleteKey(kLM, "a"), kRegOk);
  EXPECT_EQ(store->DeleteKey(kLM, "A"), kRegNotFound);
  EXPECT_EQ(store->DeleteKey(kLM, ""), kRegAccessDenied);
  // A subkey's deletion leaves its parent.
  EXPECT_EQ(store->DeleteKey(kLM, "B\\A"), kRegOk);

  auto reader = Open();
  for (const char* gone : {"A", "A\\B", "A\\B\\C", "B\\A"}) EXPECT_FALSE(reader->KeyExists(kLM, gone)) << gone;
  for (const char* kept : {"AB", "A B", "B"}) EXPECT_TRUE(reader->KeyExists(kLM, kept)) << kept;
  RegValue got;
  EXPECT_EQ(reader->GetValue(kLM, "AB", "v", &got), kRegOk);
}

TEST_F(RegistryStoreTest, SubKeysAndValueNamesListOneLevel) {
  auto store = Open();
  ASSERT_EQ(store->CreateKey(kLM, "Root\\Two\\Deep"), kRegOk);
  ASSERT_EQ(store->CreateKey(kLM, "Root\\One"), kRegOk);
  ASSERT_EQ(store->CreateKey(kLM, "RootX"), kRegOk);
  for (const char* name : {"z", "a", "M", ""}) {
    ASSERT_EQ(store->SetValue(kLM, "Root", name, RegValue::String(name)), kRegOk);
  }
  auto reader = Open();
  EXPECT_THAT(reader->SubKeys(kLM, "root"), ElementsAre("One", "Two"));
  EXPECT_THAT(reader->ValueNames(kLM, "root"), ElementsAre("z", "a", "M", ""));
  EXPECT_THAT(reader->SubKeys(kLM, "Missing"), IsEmpty());
  EXPECT_THAT(reader->ValueNames(kLM, "Missing"), IsEmpty());
}

TEST_F(RegistryStoreTest, MissingFileReadsEmptyAndIsNotCreatedByReads) {
  const std::string nested = dir_ + "/a/b";
  auto store = OpenAt(nested + "/system.reg", nested + "/user.reg");
  EXPECT_FALSE(store->KeyExists(kLM, "Software"));
  RegValue got;
  EXPECT_EQ(store->GetValue(kLM, "Software", "x", &got), kRegNotFound);
  EXPECT_EQ(store->DeleteValue(kLM, "Software", "x"), kRegNotFound);
  EXPECT_EQ(store->DeleteKey(kLM, "Software"), kRegNotFound);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/a"));

  mode_t oldMask = ::umask(022);
  long rc = store->SetValue(kLM, "Software", "x", RegValue::Dword(1));
  ::umask(oldMask);
  ASSERT_EQ(rc, kRegOk);
  struct stat st;
  ASSERT_EQ(::stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);  // passwords live here: no other user reads them
  ASSERT_EQ(::stat((nested + "/system.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(nested)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_THAT(left, ElementsAre("system.reg", "system.reg.lock"));  // no temporary file stays behind
  EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(RegistryStoreTest, ChangesOfAnotherInstanceAreSeenAtOnce) {
  auto a = Open();
  auto b = Open();
  RegValue got;
  ASSERT_EQ(a->SetValue(kLM, "K", "n", RegValue::Dword(1)), kRegOk);
  ASSERT_EQ(b->GetValue(kLM, "K", "n", &got), kRegOk);
  EXPECT_EQ(got.dword, 1u);
  // Same file size as before: a cache keyed on size or time alone would miss it.
  ASSERT_EQ(a->SetValue(kLM, "K", "n", RegValue::Dword(2)), kRegOk);
  ASSERT_EQ(b->GetValue(kLM, "K", "n", &got), kRegOk);
  EXPECT_EQ(got.dword, 2u);

  // Each write starts from the file, not from what the instance read earlier.
  ASSERT_EQ(b->SetValue(kLM, "K", "fromB", RegValue::Dword(3)), kRegOk);
  ASSERT_EQ(a->SetValue(kLM, "K", "fromA", RegValue::Dword(4)), kRegOk);
  EXPECT_THAT(b->ValueNames(kLM, "K"), ElementsAre("n", "fromB", "fromA"));
  ASSERT_EQ(b->DeleteKey(kLM, "K"), kRegOk);
  EXPECT_FALSE(a->KeyExists(kLM, "K"));
}

TEST_F(RegistryStoreTest, WritersInTwoProcessesLoseNothing) {
  constexpr int kChildren = 2;
  constexpr int kPerChild = 200;
  std::vector<pid_t> pids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      RegistryStore store(SystemFile(), UserFile(), [](const std::string&) {});
      int failures = 0;
      for (int i = 0; i < kPerChild; ++i) {
        std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
        if (store.SetValue(kCU, "Shared\\Key", name, RegValue::Dword(static_cast<uint32_t>(c * 1000 + i))) != kRegOk) {
          ++failures;
        }
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto reader = Open();
  EXPECT_EQ(reader->ValueNames(kCU, "Shared\\Key").size(), static_cast<size_t>(kChildren * kPerChild));
  for (int c = 0; c < kChildren; ++c) {
    for (int i = 0; i < kPerChild; ++i) {
      RegValue got;
      std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
      ASSERT_EQ(reader->GetValue(kCU, "Shared\\Key", name, &got), kRegOk) << name;
      EXPECT_EQ(got.dword, static_cast<uint32_t>(c * 1000 + i));
    }
  }
  EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(RegistryStoreTest, WritersInSeveralThreadsLoseNothing) {
  auto store = Open();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string key = "T" + std::to_string(t);
        store->SetValue(kLM, key, "v" + std::to_string(i), RegValue::Dword(static_cast<uint32_t>(i)));
        store->KeyExists(kLM, key);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto reader = Open();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(reader->ValueNames(kLM, "T" + std::to_string(t)).size(), static_cast<size_t>(kPerThread));
  }
  EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(RegistryStoreTest, MalformedFileReadsEmptyAndIsKeptAsideOnWrite) {
  const std::string good = "WINE REGISTRY Version 2\n\n[Good] 1\n\"ok\"=\"1\"\n\n[A]\n";
  struct Case {
    const char* label;
    std::string text;
    int line;
  };
  const Case cases[] = {
      {"no header", "[Good] 1\n\"ok\"=\"1\"\n", 1},
      {"other header", "REGEDIT4\n\n[Good]\n\"ok\"=\"1\"\n", 1},
      {"unterminated bracket", good + "[A\\\\B 1\n\"x\"=\"1\"\n", 7},
      {"value line that does not parse", good + "\"x\"=bogus\n", 7},
      {"stray line", good + "x=1\n", 7},
      {"unterminated string", good + "\"x\"=\"abc\n", 7},
      {"bad hex", good + "\"x\"=hex:01,zz\n", 7},
      {"bad hex item", good + "\"x\"=hex:01,,02\n", 7},
      {"hex continued past the end", good + "\"x\"=hex:01,\\\n", 7},
      {"dword too long", good + "\"x\"=dword:123456789\n", 7},
      {"value before any section", "WINE REGISTRY Version 2\n\"x\"=\"1\"\n", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    errors_.clear();
    WriteText(SystemFile(), c.text);

    auto store = Open();
    EXPECT_FALSE(store->KeyExists(kLM, "Good"));
    EXPECT_THAT(store->SubKeys(kLM, ""), IsEmpty());
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_THAT(Errors()[0], HasSubstr(SystemFile() + " line " + std::to_string(c.line) + ":"));
    EXPECT_EQ(Errors()[0].find('\n'), std::string::npos);
    EXPECT_EQ(Errors().size(), 1u) << "reported once, not on every read";
    EXPECT_EQ(ReadText(SystemFile()), c.text) << "reading never rewrites the file";

    ASSERT_EQ(store->SetValue(kLM, "New", "n", RegValue::Dword(5)), kRegOk);
    std::vector<std::string> aside;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      std::string name = e.path().filename();
      if (name.starts_with("system.reg.corrupt-")) aside.push_back(name);
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_THAT(aside[0], MatchesRegex(R"(system\.reg\.corrupt-[0-9]{8}T[0-9]{6})"));
    EXPECT_EQ(ReadText(dir_ + "/" + aside[0]), c.text);

    auto reader = Open();
    RegValue got;
    EXPECT_EQ(reader->GetValue(kLM, "New", "n", &got), kRegOk);
    EXPECT_FALSE(reader->KeyExists(kLM, "Good"));
  }
}

TEST_F(RegistryStoreTest, HarmlessOddities) {
  struct Case {
    const char* label;
    std::string text;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"blank file", "\n\n"},
      {"header only", "WINE REGISTRY Version 2"},
      {"byte order mark", "\xEF\xBB\xBF" "WINE REGISTRY Version 2\n[K]\n"},
      {"trailing blanks and stray stamp text", "WINE REGISTRY Version 2 \n[K] 12 x\t\n\"v\"=\"1\"  \n"},
      {"comments and hash lines between values", "WINE REGISTRY Version 2\n[K]\n;note\n#class=\"x\"\n\"v\"=\"1\"\n"},
      {"repeated section", "WINE REGISTRY Version 2\n[K]\n\"v\"=\"0\"\n[k]\n\"V\"=\"1\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteText(SystemFile(), c.text);
    auto store = Open();
    store->KeyExists(kLM, "K");
    EXPECT_THAT(Errors(), IsEmpty());
  }
  auto store = Open();
  RegValue got;
  ASSERT_EQ(store->GetValue(kLM, "K", "v", &got), kRegOk);
  EXPECT_EQ(got.text, "1");
  EXPECT_THAT(store->ValueNames(kLM, "K"), ElementsAre("v"));
}

TEST_F(RegistryStoreTest, UnwritableLocationIsReported) {
  WriteText(dir_ + "/blocker", "a file where a folder should be");
  auto store = OpenAt(dir_ + "/blocker/reg/system.reg", dir_ + "/blocker/reg/user.reg");
  EXPECT_EQ(store->SetValue(kLM, "K", "v", RegValue::Dword(1)), kRegAccessDenied);
  EXPECT_EQ(store->CreateKey(kCU, "K"), kRegAccessDenied);
  ASSERT_EQ(Errors().size(), 2u);
  EXPECT_THAT(Errors()[0], HasSubstr(dir_ + "/blocker"));
  EXPECT_FALSE(store->KeyExists(kLM, "K"));
}

// The real file system, with the calls the store makes failing on demand (a crt errno, 0: none).
class FaultyFs : public FileSystemWrapper {
 public:
  FaultyFs() : FileSystemWrapper(RealFileSystem()) {}
  int failRead = 0, failWrite = 0, failLock = 0;

  int ReadFile(std::string_view path, std::string* out) override {
    return failRead ? failRead : FileSystemWrapper::ReadFile(path, out);
  }
  int WriteFileAtomic(std::string_view path, std::string_view data) override {
    return failWrite ? failWrite : FileSystemWrapper::WriteFileAtomic(path, data);
  }
  int LockFile(std::string_view path, std::unique_ptr<FileLock>* lock) override {
    return failLock ? failLock : FileSystemWrapper::LockFile(path, lock);
  }
};

TEST_F(RegistryStoreTest, AFailedWriteLeavesTheFileAndTheValuesAsTheyWere) {
  struct Case {
    const char* what;
    int FaultyFs::*fault;
    int err;
    const char* reported;
  } cases[] = {
      {"the atomic replace fails", &FaultyFs::failWrite, crt::kENOSPC, "cannot write"},
      {"the lock cannot be had", &FaultyFs::failLock, crt::kEACCES, "cannot lock"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir_);
    errors_.clear();
    FaultyFs fs;
    auto store = OpenOn(fs);
    ASSERT_EQ(store->SetValue(kLM, "K", "v", RegValue::Dword(1)), kRegOk);
    const std::string before = ReadText(SystemFile());

    fs.*c.fault = c.err;
    EXPECT_EQ(store->SetValue(kLM, "K", "v", RegValue::Dword(2)), kRegAccessDenied);
    EXPECT_EQ(store->DeleteKey(kLM, "K"), kRegAccessDenied);
    EXPECT_EQ(ReadText(SystemFile()), before);
    RegValue got;
    ASSERT_EQ(store->GetValue(kLM, "K", "v", &got), kRegOk);
    EXPECT_EQ(got.dword, 1u) << "the store must not keep a change it could not write";
    ASSERT_EQ(Errors().size(), 2u);
    EXPECT_THAT(Errors()[0], HasSubstr(c.reported));
    EXPECT_THAT(Errors()[0], HasSubstr(CrtErrnoText(c.err)));

    fs.*c.fault = 0;
    ASSERT_EQ(store->SetValue(kLM, "K", "v", RegValue::Dword(3)), kRegOk);
    ASSERT_EQ(Open()->GetValue(kLM, "K", "v", &got), kRegOk);
    EXPECT_EQ(got.dword, 3u);
  }
}

TEST_F(RegistryStoreTest, AnUnreadableFileReadsEmptyAndIsNeverWrittenOver) {
  ASSERT_EQ(Open()->SetValue(kLM, "K", "v", RegValue::Dword(1)), kRegOk);
  const std::string before = ReadText(SystemFile());
  FaultyFs fs;
  fs.failRead = crt::kEIO;
  auto store = OpenOn(fs);
  EXPECT_FALSE(store->KeyExists(kLM, "K"));
  EXPECT_FALSE(store->KeyExists(kLM, "K"));
  ASSERT_EQ(Errors().size(), 1u) << "reported once, not on every read";
  EXPECT_THAT(Errors()[0], HasSubstr("cannot read " + SystemFile()));

  // A write starts from the file: one it cannot read it does not replace.
  EXPECT_EQ(store->SetValue(kLM, "Other", "w", RegValue::Dword(2)), kRegAccessDenied);
  EXPECT_EQ(ReadText(SystemFile()), before);

  fs.failRead = 0;
  EXPECT_TRUE(store->KeyExists(kLM, "K"));
  EXPECT_FALSE(store->KeyExists(kLM, "Other"));
}

TEST(RegistryStoreDefaultFilesTest, FollowTheSystem) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> vars;
    const char* home;
    bool root;
    const char* system;
    const char* user;
  } cases[] = {
      {"the override holds both", {{"KELVARIN_REGISTRY_DIR", "/srv/reg//"}, {"XDG_CONFIG_HOME", "/cfg"}}, "/h", true,
       "/srv/reg/system.reg", "/srv/reg/user.reg"},
      {"an empty override counts as none", {{"KELVARIN_REGISTRY_DIR", ""}}, "/h", false,
       "/h/.config/kelvarin/system.reg", "/h/.config/kelvarin/user.reg"},
      {"the configuration home", {{"XDG_CONFIG_HOME", "/cfg"}}, "/h", false, "/cfg/kelvarin/system.reg",
       "/cfg/kelvarin/user.reg"},
      {"root keeps HKLM in /etc", {{"XDG_CONFIG_HOME", "/cfg"}}, "/h", true, "/etc/kelvarin/system.reg",
       "/cfg/kelvarin/user.reg"},
      {"a relative configuration home is ignored", {{"XDG_CONFIG_HOME", "cfg"}}, "/home/someone", false,
       "/home/someone/.config/kelvarin/system.reg", "/home/someone/.config/kelvarin/user.reg"},
      {"no home at all", {}, "", false, "/tmp/.config/kelvarin/system.reg", "/tmp/.config/kelvarin/user.reg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kv::testing::FakeSystemInfo system;
    system.vars = c.vars;
    system.home = c.home;
    system.superUser = c.root;
    const RegistryStore::Files f = RegistryStore::DefaultFiles(system);
    EXPECT_EQ(f.system, c.system);
    EXPECT_EQ(f.user, c.user);
  }
}

TEST(RegistryStoreDefaultFilesTest, TheRealSystemReadsTheProcessEnvironment) {
  std::optional<std::string> saved;
  if (const char* v = std::getenv("KELVARIN_REGISTRY_DIR")) saved = v;
  ::setenv("KELVARIN_REGISTRY_DIR", "/srv/reg", 1);
  const RegistryStore::Files f = RegistryStore::DefaultFiles(RealSystemInfo());
  if (saved) {
    ::setenv("KELVARIN_REGISTRY_DIR", saved->c_str(), 1);
  } else {
    ::unsetenv("KELVARIN_REGISTRY_DIR");
  }
  EXPECT_EQ(f.system, "/srv/reg/system.reg");
  EXPECT_EQ(f.user, "/srv/reg/user.reg");
}

}  // namespace
}  // namespace kv::platform
