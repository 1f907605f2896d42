// DebugLogArray and the error sink, both of which write through the process-wide g_DebugLog.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "log/debug_log.h"
#include "log/error_log.h"
#include "log/log_file.h"
#include "platform/path.h"
#include "support/test_env.h"

namespace kv {
namespace {

using com::SafeArray;
using com::Variant;

class GlobalLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_DebugLog.ResetForTest();
    g_DebugLog.Init(env_.env(), static_cast<int>(LogKind::Kelvarin), "", "");
  }
  void TearDown() override { g_DebugLog.ResetForTest(); }

  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const auto& line : testing::ReadLogLines(platform::ToFsPath(g_DebugLog.FilePath())))
      out.push_back(testing::MessageOf(line));
    return out;
  }

  testing::TestEnv env_;
};

Variant Strings(int32_t lowerBound, std::vector<const char*> items) {
  SafeArray a(com::VT_BSTR, lowerBound, items.size());
  for (size_t i = 0; i < items.size(); ++i)
    EXPECT_EQ(a.Put(lowerBound + static_cast<int32_t>(i), Variant::Str(items[i])), com::S_OK);
  return Variant::Array(std::move(a));
}

Variant Variants(int32_t lowerBound, std::vector<Variant> items) {
  SafeArray a(com::VT_VARIANT, lowerBound, items.size());
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(a.Put(lowerBound + static_cast<int32_t>(i), items[i]), com::S_OK);
  return Variant::Array(std::move(a));
}

TEST_F(GlobalLogTest, ArrayLines) {
  Variant nested = Variants(0, {Variant::I4(5), Variant::Str("x"), Strings(7, {"p", "q"}), Variant::Null(),
                                Variant::R8(2.5), Variants(0, {Variant::Bool(true), Strings(0, {"deep"})})});
  SafeArray numbers(com::VT_I4, 0, 2);
  struct Case {
    const char* what;
    Variant value;
    std::vector<std::string> want;  // after the label line
  } cases[] = {
      {"empty", Variant(), {"No data"}},
      {"null", Variant::Null(), {"No data"}},
      {"scalar", Variant::Str("just text"), {"No data"}},
      {"numbers", Variant::Array(numbers), {"Unhandled array type"}},
      {"no elements", Strings(0, {}), {}},
      {"strings from lower bound 1", Strings(1, {"a", "", "c d"}),
       {"Index: 1 ( a )", "Index: 2 (  )", "Index: 3 ( c d )"}},
      {"variants with nested arrays under the outer index", nested,
       {"Index: 0 ( 5 )", "Index: 1 ( x )", "Index: 2 ( p )", "Index: 2 ( q )", "Index: 3 (  )", "Index: 4 ( 2.5 )",
        "Index: 5 ( True )", "Index: 5 (  )"}},
      {"by reference", Variant::ByRef(&nested), {}},
  };
  cases[7].want = cases[6].want;
  for (auto& c : cases) {
    std::filesystem::remove(platform::ToFsPath(g_DebugLog.FilePath()));
    g_DebugLog.SetCategory(LogCategory::Results, true);
    DebugLogArray(c.what, c.value);
    std::vector<std::string> want = {c.what};
    want.insert(want.end(), c.want.begin(), c.want.end());
    EXPECT_EQ(Messages(), want) << c.what;

    std::filesystem::remove(platform::ToFsPath(g_DebugLog.FilePath()));
    g_DebugLog.SetCategory(LogCategory::Results, false);
    DebugLogArray(c.what, c.value);
    EXPECT_TRUE(Messages().empty()) << c.what << " with Results off";
  }
}

TEST_F(GlobalLogTest, ErrorSinkWritesToTheLogFile) {
  InstallDebugLogAsErrorSink();
  log::LogError("ZrCalcEnvironment::Load", "damaged file");
  log::SetErrorSink({});
  ::testing::internal::CaptureStderr();
  log::LogError("after", "restored");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "after: restored\n");
  EXPECT_EQ(Messages(), std::vector<std::string>{"ZrCalcEnvironment::Load: damaged file"});
}

}  // namespace
}  // namespace kv
