#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "com/utf.h"
#include "dispatch/calc_commands.h"
#include "dispatch/command_binding.h"
#include "dispatch/method_tables.h"
#include "base/error_codes.h"
#include "dispatch/wrapper_log.h"
#include "components/calc_components.h"
#include "config/config.h"
#include "log/debug_log.h"
#include "platform/path.h"
#include "service/fault_translator.h"
#include "support/test_env.h"

namespace kv {
namespace {

using com::DISPATCH_METHOD;

// The lines of the log file after the first `skip`, without the thread and time prefix.
std::vector<std::string> LogMessages() {
  std::ifstream in(platform::ToFsPath(g_DebugLog.FilePath()), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() >= 2) bytes.erase(0, 2);  // byte-order mark
  std::u16string wide(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  std::vector<std::string> lines;
  std::stringstream ss(com::Utf16ToUtf8(wide));
  std::string line;
  while (std::getline(ss, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "(tid) MM/DD/YYYY hh:mm:ss.mmm " precedes the message
    size_t p = line.find(") ");
    lines.push_back(line.empty() || p == std::string::npos ? line : line.substr(p + 2 + 24));
  }
  return lines;
}

class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_BasePath = env_.root() + "/store";
    std::filesystem::create_directories(g_BasePath + "/Apps/Line2");
    g_DebugLog.ResetForTest();
    g_DebugLog.Init(env_.env(), static_cast<int>(LogKind::Kelvarin), "", "17.0.0.266");
    for (int c = 1; c < kLogCategoryCount; ++c) g_DebugLog.SetCategory(static_cast<LogCategory>(c), false);
  }
  void AllCategories(bool on) {
    for (int c = 1; c < kLogCategoryCount; ++c) g_DebugLog.SetCategory(static_cast<LogCategory>(c), on);
  }
  com::HRESULT Call(ICommandObject* obj, const char* name, std::vector<Variant> args, Variant* result,
                    std::vector<Variant>* after = nullptr) {
    com::DISPID id;
    EXPECT_EQ(obj->GetIDsOfNames(name, &id), com::S_OK) << name;
    com::HRESULT hr = obj->Invoke(id, DISPATCH_METHOD, args, result);
    if (after) *after = args;
    return hr;
  }
  long LastError(ICommandObject* obj, std::string* text = nullptr) {
    Variant r;
    std::vector<Variant> after;
    EXPECT_EQ(Call(obj, "GetLastCommandError", {Variant::I4(0)}, &r, &after), com::S_OK);
    if (text) *text = r.bstr().ToUtf8();
    return after[0].i4();
  }

  testing::TestEnv env_;
};

TEST_F(WrapperTest, FixedAnswersLeaveTheLastErrorAlone) {
  auto obj = com::MakeCom<ZrCalcCommands>();
  Variant r;
  ASSERT_EQ(Call(obj.Get(), "GetFormulaList", {Variant::Dispatch(nullptr)}, &r), com::S_OK);
  EXPECT_EQ(LastError(obj.Get()), CMDERR_NOT_A_LIBRARY);
  Variant data = Variant::I4(5);
  std::vector<Variant> after;
  ASSERT_EQ(Call(obj.Get(), "AdoExecuteQuery", {Variant::Str("c"), Variant::Str("q"), data}, &r, &after), com::S_OK);
  EXPECT_EQ(r, Variant::Bool(false));
  EXPECT_EQ(after[2], data);  // arguments left as they came
  std::string text;
  EXPECT_EQ(LastError(obj.Get(), &text), CMDERR_NOT_A_LIBRARY);
  EXPECT_EQ(text, "Object is Not a Library.");

  ASSERT_EQ(Call(obj.Get(), "GetComServerErrors", {Variant::Str("a"), Variant::Str("b"), Variant::Str("c"), Variant::Str("d")}, &r, &after), com::S_OK);
  EXPECT_EQ(r, Variant::Bool(true));
  for (const auto& v : after) EXPECT_TRUE(v.bstr().IsNull());
  ASSERT_EQ(Call(obj.Get(), "FormulaLookup", {Variant::Str("f")}, &r), com::S_OK);
  EXPECT_TRUE(r.IsEmpty());
}

TEST_F(WrapperTest, NullObjectIsRefusedWithItsLineEvenWithLoggingOff) {
  auto obj = com::MakeCom<ZrCalcCommands>();
  Variant r;
  ASSERT_EQ(Call(obj.Get(), "GetFormulaList", {Variant::Dispatch(nullptr)}, &r), com::S_OK);
  ASSERT_EQ(Call(obj.Get(), "SaveCalculationObject", {Variant::Dispatch(nullptr)}, &r), com::S_OK);
  EXPECT_EQ(r, Variant::Bool(false));
  EXPECT_EQ(LastError(obj.Get()), CMDERR_NOT_A_LIBRARY);
  auto lines = LogMessages();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "ICalcCommands::SaveCalculationObject - Null Pointer passed: S_OK");
}

TEST_F(WrapperTest, LogLinesOfOneCall) {
  AllCategories(true);
  auto obj = com::MakeCom<ZrCalcCommands>();
  Variant r;
  ASSERT_EQ(Call(obj.Get(), "CalcCommandVersion", {}, &r), com::S_OK);
  EXPECT_EQ(r.bstr().ToUtf8(), "v7.3");
  auto lines = LogMessages();
  std::vector<std::string> want = {"", "ICalcCommands::CalcCommandVersion: Method - Start",
                                    "ICalcCommands::CalcCommandVersion: Result( v7.3 )",
                                    "ICalcCommands::CalcCommandVersion: Method - End (S_OK)"};
  ASSERT_GE(lines.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()), want);

  AllCategories(false);
  g_DebugLog.SetCategory(LogCategory::Methods, true);
  size_t before = LogMessages().size();
  ASSERT_EQ(Call(obj.Get(), "GetCalculationObject", {Variant::Str("Flow1")}, &r), com::S_OK);
  EXPECT_EQ(LogMessages().size(), before + 3);  // only the empty, start and end lines
}

TEST_F(WrapperTest, ParameterAndObjectLines) {
  EXPECT_EQ(FormatLoggedValue(Variant::R8(12.5)), "12.5000000000000000");
  EXPECT_EQ(FormatLoggedValue(Variant::R8(1e20)), "1.0000000000000000e+20");
  EXPECT_EQ(FormatLoggedValue(Variant::Date(45658.5)), "45658.5000000000000000");
  EXPECT_EQ(FormatLoggedValue(Variant::I4(-3)), "-3");
  EXPECT_EQ(FormatLoggedValue(Variant::Str(Bstr())), "");
  AllCategories(true);
  auto obj = com::MakeCom<ZrCalcCommands>();
  Variant r;
  ASSERT_EQ(Call(obj.Get(), "GetCalculationObject", {Variant::Str("Flow1")}, &r), com::S_OK);
  auto lines = LogMessages();
  EXPECT_EQ(lines[lines.size() - 3], "ICalcCommands::GetCalculationObject: Name( Flow1 )");
  EXPECT_EQ(lines[lines.size() - 2], "ICalcCommands::GetCalculationObject: Object NOT Returned !!!( Flow1 )");
}

// A client's argument reaches the log as one line: a name holding a line break cannot forge a
// line (a "granted" security line, say), and a huge one cannot fill the log by itself.
TEST_F(WrapperTest, ArgumentsCannotForgeOrFloodLogLines) {
  AllCategories(true);
  auto obj = com::MakeCom<ZrCalcCommands>();
  Variant r;
  const std::string forged = "Flow1\n(1234) 12/10/2026 10:00:00.000 ICalcCommands::Security: granted";
  ASSERT_EQ(Call(obj.Get(), "GetCalculationObject", {Variant::Str(forged)}, &r), com::S_OK);
  auto lines = LogMessages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3],
            "ICalcCommands::GetCalculationObject: Name( Flow1\\n(1234) 12/10/2026 10:00:00.000 "
            "ICalcCommands::Security: granted )");

  const size_t before = lines.size();
  ASSERT_EQ(Call(obj.Get(), "GetCalculationObject", {Variant::Str(std::string(100 * 1024, 'n'))}, &r), com::S_OK);
  lines = LogMessages();
  ASSERT_GT(lines.size(), before) << "the earlier lines survive";
  const std::string& name = lines[lines.size() - 3];
  EXPECT_LT(name.size(), 4200u);
  EXPECT_NE(name.find(" bytes)"), std::string::npos) << name.substr(0, 80);
}

class ThrowingLibrary : public com::ComObject<components::IZrLibrary, com::IDispatch> {
 public:
  explicit ThrowingLibrary(bool fault) : fault_(fault) {}
  com::HRESULT SetSaveTime(double) override { return com::S_OK; }
  com::HRESULT SetOwnerString(const Bstr&) override { return com::S_OK; }
  com::HRESULT GetFormulas(ComPtr<components::IZrFormulas>*) override { return com::E_NOTIMPL; }
  com::HRESULT GetName(Bstr*) override { return com::E_NOTIMPL; }
  com::HRESULT SetName(const Bstr&) override { return com::S_OK; }
  // The sanitizer pass must let the fault happen: the null check would report it first.
  __attribute__((no_sanitize("undefined"))) com::HRESULT ListFormulas(Variant* v) override {
    if (fault_) {
      volatile int* p = nullptr;
      *v = Variant::I4(*p);  // a machine fault inside a command
    }
    throw std::runtime_error("broken component");
  }
  com::HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  com::HRESULT Invoke(com::DISPID, uint16_t, std::vector<Variant>&, Variant*) override {
    return com::DISP_E_MEMBERNOTFOUND;
  }

 private:
  bool fault_;
};

TEST_F(WrapperTest, EscapedExceptionsAndFaultsBecomeUnexpected) {
  InstallFaultTranslator();
  auto obj = com::MakeCom<ZrCalcCommands>();
  for (bool fault : {false, true}) {
    auto lib = com::MakeCom<ThrowingLibrary>(fault);
    Variant r;
    EXPECT_EQ(Call(obj.Get(), "GetFormulaList", {Variant::Dispatch(lib)}, &r), com::E_UNEXPECTED);
    EXPECT_EQ(LogMessages().back(), "ICalcCommands::GetFormulaList: E_UNEXPECTED");
    EXPECT_EQ(Call(obj.Get(), "CalcCommandVersion", {}, &r), com::S_OK);  // the next call works
    EXPECT_EQ(r.bstr().ToUtf8(), "v7.3");
  }
}

TEST_F(WrapperTest, CallsThatDoNotFitTheTable) {
  auto obj = com::MakeCom<ZrCalcCommands>();
  Variant r;
  std::vector<Variant> args;
  EXPECT_EQ(obj->Invoke(0, DISPATCH_METHOD, args, &r), com::DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(obj->Invoke(132, DISPATCH_METHOD, args, &r), com::DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call(obj.Get(), "GetCalculationObject", {}, &r), com::DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(obj.Get(), "CheckAccess", {Variant::Str("not a number")}, &r), com::DISP_E_TYPEMISMATCH);
  com::DISPID id;
  EXPECT_EQ(obj->GetIDsOfNames("NoSuchMethod", &id), com::DISP_E_UNKNOWNNAME);
  EXPECT_EQ(obj->InterfaceSupportsErrorInfo(ICalcCommandsTable().iid), com::S_OK);
  EXPECT_EQ(obj->InterfaceSupportsErrorInfo(ICalcAppCommandsTable().iid), com::S_FALSE);
}

TEST_F(WrapperTest, ApplicationObjectDirectoryAndRefusals) {
  auto app = com::MakeCom<ZrCalcAppCommands>();
  Variant r;
  ASSERT_EQ(Call(app.Get(), "GetCalculationList", {}, &r), com::S_OK);
  EXPECT_TRUE(r.IsEmpty());
  std::string text;
  EXPECT_EQ(LastError(app.Get(), &text), CMDERR_BASE_DIR_NOT_INITIALIZED);
  EXPECT_EQ(text, "Base Directory Not Initialized");

  struct Case {
    const char* dir;
    bool ok;
    long code;
  } cases[] = {{"", false, CMDERR_BLANK_DIRECTORY},
               {"Line2", true, 0},
               {"Missing", false, CMDERR_INVALID_DIRECTORY},
               {"..", false, CMDERR_INVALID_DIRECTORY},
               {"", false, CMDERR_BLANK_DIRECTORY}};
  for (const auto& c : cases) {
    ASSERT_EQ(Call(app.Get(), "SetBaseDirectory", {Variant::Str(c.dir)}, &r), com::S_OK);
    EXPECT_EQ(r, Variant::Bool(c.ok)) << c.dir;
    EXPECT_EQ(LastError(app.Get()), c.code) << c.dir;
    // A failed call leaves the earlier directory in force.
    std::string dir;
    if (app->Command().GetBaseDirectory(&dir)) {
      EXPECT_EQ(dir, g_BasePath + "\\Apps\\Line2");
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(g_BasePath + "/Apps/Line2/Calc/Edit"));

  ASSERT_EQ(Call(app.Get(), "AddScheduleGroup", {Variant::Str("G"), Variant::Date(1), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, &r), com::S_OK);
  EXPECT_EQ(r, Variant::Bool(false));
  EXPECT_EQ(LastError(app.Get(), &text), CMDERR_SCHEDULE_NOT_SUPPORTED);
  EXPECT_EQ(text, "Schedule Commands Not Supported by Application Command Object");
  r = Variant::I4(1);
  ASSERT_EQ(Call(app.Get(), "GetScheduleGroupList", {}, &r), com::S_OK);
  EXPECT_TRUE(r.IsEmpty());
  ASSERT_EQ(Call(app.Get(), "GetScheduleObject", {}, &r), com::S_OK);
  EXPECT_EQ(r.vt(), com::VT_DISPATCH);
  EXPECT_FALSE(r.unknown());
}

}  // namespace
}  // namespace kv
