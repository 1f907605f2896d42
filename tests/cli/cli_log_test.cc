#include "cli/cli_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/cli_options.h"
#include "log/debug_log.h"
#include "platform/path.h"
#include "platform/utf8.h"
#include "support/test_env.h"

namespace kv::cli {
namespace {

// The bytes of `text` as the log stores it: UTF-16LE, optionally after a byte-order mark.
std::string Utf16Le(std::string_view utf8, bool bom = true) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char16_t u : platform::Utf8ToUtf16(utf8)) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

void WriteFile(const std::string& path, const std::string& bytes, std::ios::openmode mode = std::ios::trunc) {
  std::ofstream f(path, std::ios::binary | std::ios::out | mode);
  f << bytes;
}

// Text with two- and three-byte characters, a surrogate pair, CR LF ends and a lone CR.
constexpr char kText[] = "(1) Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\r\nline\rtwo\r\n\r\n";
constexpr char kExpected[] = "(1) Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\nline\rtwo\n\n";

TEST(LogDecoderTest, AnySplitOfTheBytesGivesTheSameText) {
  const std::string bytes = Utf16Le(kText);
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    for (size_t cut2 = cut; cut2 <= bytes.size(); cut2 += 3) {
      SCOPED_TRACE(std::to_string(cut) + "," + std::to_string(cut2));
      LogDecoder d;
      std::string got = d.Feed(std::string_view(bytes).substr(0, cut));
      got += d.Feed(std::string_view(bytes).substr(cut, cut2 - cut));
      got += d.Feed(std::string_view(bytes).substr(cut2));
      ASSERT_EQ(got, kExpected);
    }
  }
  LogDecoder noBom;
  EXPECT_EQ(noBom.Feed(Utf16Le("a\r\n", false)), "a\n");
}

class CliLogTest : public ::testing::Test {
 protected:
  int Log(std::vector<std::string> args, std::function<bool()> pause = [] { return false; }) {
    out.str("");
    err.str("");
    return RunLog(args, env.env(), out, err, pause);
  }

  testing::TestEnv env;
  std::ostringstream out, err;
};

// The file is the one the server's log writes (the log is initialised as the server does it),
// and non-ASCII text comes out as UTF-8.
TEST_F(CliLogTest, PrintsTheServersLogAsUtf8) {
  DebugLog server;
  server.Init(env.env(), static_cast<int>(LogKind::Kelvarin), "", kCliVersion);
  server.Write("ICalcCommands::GetCalculationObject", "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80");
  server.Write("second", "");

  const std::string path = platform::ToFsPath(ServerLogFile(env.env()));
  EXPECT_EQ(path, env.Path("programdata/Quorlith/DiagnosticLogs/Morvane Calc/kelvarin.Kelvarin.x86.17.0.0.266.calcuser.log"));
  EXPECT_EQ(Log({"--path"}), kExitOk);
  EXPECT_EQ(out.str(), path + "\n");

  ASSERT_EQ(Log({}), kExitOk) << err.str();
  const std::string tid = out.str().substr(0, out.str().find(')') + 1);
  EXPECT_EQ(out.str(), tid + " 12/10/2025 00:00:00.000 ICalcCommands::GetCalculationObject: Gr\xC3\xBC\xC3\x9F" "e "
                       "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\n" + tid + " 12/10/2025 00:00:00.000 second\n");
}

TEST_F(CliLogTest, SinceKeepsLinesFromThatTimeOn) {
  const std::string file = env.Path("k.log");
  WriteFile(file, Utf16Le("(7) 12/09/2025 23:59:59.999 early\r\n"
                          "\r\n"
                          "(7) 12/10/2025 00:00:00.000 on time\r\n"
                          "continued\r\n"
                          "(8) 01/02/2026 08:00:00.000 later\r\n"));
  struct Case {
    std::string since, lines;
  };
  const Case cases[] = {
      {"2025-12-10", "(7) 12/10/2025 00:00:00.000 on time\ncontinued\n(8) 01/02/2026 08:00:00.000 later\n"},
      {"2025-12-09 23:59", "(7) 12/09/2025 23:59:59.999 early\n\n(7) 12/10/2025 00:00:00.000 on time\ncontinued\n"
                           "(8) 01/02/2026 08:00:00.000 later\n"},
      {"2026-01-02T08:00:01", ""},
      // Relative to now, 2025-12-10 00:00:00.000 local on the test's clock.
      {"today", "(7) 12/10/2025 00:00:00.000 on time\ncontinued\n(8) 01/02/2026 08:00:00.000 later\n"},
      {"yesterday", "(7) 12/09/2025 23:59:59.999 early\n\n(7) 12/10/2025 00:00:00.000 on time\ncontinued\n"
                    "(8) 01/02/2026 08:00:00.000 later\n"},
      {"1s ago", "(7) 12/09/2025 23:59:59.999 early\n\n(7) 12/10/2025 00:00:00.000 on time\ncontinued\n"
                  "(8) 01/02/2026 08:00:00.000 later\n"},
      {"PT0S", "(7) 12/10/2025 00:00:00.000 on time\ncontinued\n(8) 01/02/2026 08:00:00.000 later\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.since);
    EXPECT_EQ(Log({"--file", file, "--since", c.since}), kExitOk) << err.str();
    EXPECT_EQ(out.str(), c.lines);
  }
  EXPECT_EQ(Log({"--file=" + file, "--since=2025-02-30"}), kExitUsage);
  EXPECT_EQ(Log({"--file=" + file, "--since=tomorrow"}), kExitUsage);
  EXPECT_EQ(Log({"--since"}), kExitUsage);
  EXPECT_EQ(Log({"--tail"}), kExitUsage);
  EXPECT_EQ(Log({"--file", env.Path("missing.log")}), kExitFailure);
}

// Following: what is appended is printed, and a log that starts afresh (at its size limit) is
// read again from its start.
TEST_F(CliLogTest, FollowPrintsWhatIsAppended) {
  const std::string file = env.Path("k.log");
  WriteFile(file, Utf16Le("(1) one\r\n(1) tw"));
  std::vector<std::function<void()>> steps = {
      [&] { WriteFile(file, Utf16Le("o \xC3\xA9\r\n", false), std::ios::app); },
      [&] { WriteFile(file, Utf16Le("(2) new\r\n")); },
  };
  size_t step = 0;
  EXPECT_EQ(Log({"-f", "--file", file}, [&] {
              if (step == steps.size()) return false;
              steps[step++]();
              return true;
            }),
            kExitOk);
  EXPECT_EQ(out.str(), "(1) one\n(1) two \xC3\xA9\n(2) new\n");
}

}  // namespace
}  // namespace kv::cli
