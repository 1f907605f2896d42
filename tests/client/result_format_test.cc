#include "client/result_format.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/ole_date.h"

namespace kv::client {
namespace {

using com::Variant;

Variant Array(std::vector<Variant> items) { return com::VariantArray(std::move(items)); }

TEST(ResultFormatTest, TextAndJsonOfValues) {
  double noon = 0, withMs = 0;
  ASSERT_TRUE(platform::MakeDate(2024, 3, 5, 12, 0, 7, &noon));
  withMs = noon + 0.25 / 86400;
  struct Case {
    Variant v;
    const char* text;
    const char* json;
  };
  const Case cases[] = {
      {Variant(), "empty", "null"},
      {Variant::Null(), "null", "null"},
      {Variant::Bool(true), "True", "true"},
      {Variant::Bool(false), "False", "false"},
      {Variant::I4(-42), "-42", "-42"},
      {Variant::OfInt(com::VT_UI8, -1), "18446744073709551615", "18446744073709551615"},
      {Variant::R8(0.1), "0.1", "0.1"},
      {Variant::R8(1e300), "1e+300", "1e+300"},
      {Variant::R8(std::numeric_limits<double>::infinity()), "inf", "null"},
      {Variant::Date(noon), "2024-03-05 12:00:07", "{\"text\":\"2024-03-05 12:00:07\",\"days\":45356.500081018516}"},
      {Variant::Date(withMs), "2024-03-05 12:00:07.250",
       "{\"text\":\"2024-03-05 12:00:07.250\",\"days\":45356.50008391203}"},
      {Variant::Date(1e9), "1e+09", "{\"text\":\"1e+09\",\"days\":1e+09}"},
      {Variant::Str("say \"hi\"\n"), "say \"hi\"\n", "\"say \\\"hi\\\"\\n\""},
      {Variant::Dispatch(nullptr), "null", "null"},
      {Array({Variant::Str("a\"b"), Variant::I4(1), Array({})}), "[\"a\\\"b\", 1, []]", "[\"a\\\"b\",1,[]]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatValue(c.v), c.text);
    EXPECT_EQ(JsonValue(c.v), c.json);
  }
}

TEST(ResultFormatTest, JsonStringEscapesControlsAndKeepsUtf8) {
  EXPECT_EQ(JsonString(std::string("a\\b\t\r\b\f\x01\x1f\x7f", 10)), "\"a\\\\b\\t\\r\\b\\f\\u0001\\u001f\x7f\"");
  EXPECT_EQ(JsonString("\xc3\xa9/"), "\"\xc3\xa9/\"");
}

TEST(ResultFormatTest, FailureResultsByReturnType) {
  const InterfaceTable& t = ICalcCommandsInterface();
  auto m = [&](const char* name) -> const MethodInfo& { return *t.ByDispId(t.DispIdByName(name)); };
  struct Case {
    const char* method;
    Variant result;
    bool failed;
  };
  const Case cases[] = {
      {"CheckAccess", Variant::Bool(false), true},
      {"CheckAccess", Variant::Bool(true), false},
      {"GetCalculationObject", Variant::Dispatch(nullptr), true},
      {"GetCalculationList", Variant(), true},
      {"GetCalculationList", Array({}), false},
      {"CalcCommandVersion", Variant::Str(""), true},
      {"CalcCommandVersion", Variant::Str("6.1"), false},
      {"LoadCalcXML", Variant::I4(0), false},
      {"GetServerGmtOffset", Variant::Date(0), false},
      {"FreeUnusedComLibraries", Variant(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(IsFailureResult(m(c.method), c.result), c.failed);
  }
}

// Before day 0 an OLE date counts its days down and its time of day up, so the calendar text
// alone cannot tell -0.25 from 0.25: spans print signed, calendar dates add the day number.
TEST(ResultFormatTest, SignedDates) {
  struct Case {
    double days;
    const char* span;
    const char* calendar;
  };
  const Case cases[] = {
      {-11.0 / 24, "-0.458333 days (-11:00:00)", "1899-12-30 11:00:00 (day -0.4583333333333333)"},
      {11.0 / 24, "0.458333 days (11:00:00)", "1899-12-30 11:00:00"},
      {-1.25, "-1.25 days (-1d 06:00:00)", "1899-12-29 06:00:00 (day -1.25)"},
      {0.5 + 0.25 / 86400, "0.500003 days (12:00:00.250)", "1899-12-30 12:00:00.250"},
      {0, "0 days (00:00:00)", "1899-12-30 00:00:00"},
      {-693960, "-693960 days (-693960d 00:00:00)", "-693960"},  // before year 100: no calendar text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.days);
    EXPECT_EQ(FormatValue(Variant::Date(c.days), DateKind::kSpan), c.span);
    EXPECT_EQ(FormatValue(Variant::Date(c.days)), c.calendar);
  }

  const InterfaceTable& t = ICalcCommandsInterface();
  auto kindOf = [&](const char* method, const char* param) {
    const MethodInfo& m = *t.ByDispId(t.DispIdByName(method));
    for (const ParamInfo& p : m.params)
      if (p.name == param) return DateKindOf(m, p);
    ADD_FAILURE() << method << " has no " << param;
    return DateKind::kCalendar;
  };
  EXPECT_EQ(kindOf("GetServerGmtOffset", "dateResult"), DateKind::kSpan);
  EXPECT_EQ(kindOf("GetServerGmtOffset", "DateTime"), DateKind::kCalendar);
  EXPECT_EQ(kindOf("ComputeNextStartTime", "Rate"), DateKind::kSpan);
  EXPECT_EQ(kindOf("ComputeNextStartTime", "Offset"), DateKind::kSpan);
  EXPECT_EQ(kindOf("ComputeNextStartTime", "dateResult"), DateKind::kCalendar);
  EXPECT_EQ(kindOf("ScheduleGroupInfo", "RunRate"), DateKind::kSpan);
  EXPECT_EQ(kindOf("ScheduleGroupInfo", "NextRunTime"), DateKind::kCalendar);

  // The report reads each date by its parameter, and JSON keeps the raw number.
  CallReport r;
  r.method = "GetServerGmtOffset";
  r.info = t.ByDispId(t.DispIdByName("GetServerGmtOffset"));
  r.hasResult = true;
  r.result = Variant::Date(-0.5);
  EXPECT_EQ(FormatReportText(r), "-0.5 days (-12:00:00)\n");
  EXPECT_EQ(FormatReportJson(r),
            "{\"method\":\"GetServerGmtOffset\",\"result\":{\"text\":\"-0.5 days (-12:00:00)\",\"days\":-0.5},"
            "\"out\":{},\"error\":null}");
}

// Whether an answer is a failure takes the failure value and the last command error together.
TEST(ResultFormatTest, AnswerJudgedWithTheLastError) {
  const InterfaceTable& t = ICalcCommandsInterface();
  struct Case {
    const char* method;
    Variant result;
    std::optional<int32_t> lastError;
    int32_t before;
    Answer answer;
  };
  const Case cases[] = {
      {"GetCalculationList", Variant(), 0, 0, Answer::kEmpty},               // a new store
      {"GetCalculationList", Variant(), 101, 0, Answer::kFailure},
      {"GetCalculationList", Variant(), std::nullopt, 0, Answer::kFailure},  // error unknown
      {"GetCalculationList", Array({}), 101, 0, Answer::kSuccess},           // not a failure value
      {"CalcCommandVersion", Variant::Str(""), 0, 0, Answer::kEmpty},
      {"CheckAccess", Variant::Bool(false), 0, 0, Answer::kFailure},         // False is an answer
      {"GetCalculationObject", Variant::Dispatch(nullptr), 0, 0, Answer::kFailure},
      // Rows that keep the previous error: only a new one is theirs.
      {"GetCalculationSummary", Variant(), 101, 101, Answer::kEmpty},
      {"GetCalculationSummary", Variant(), 150, 101, Answer::kFailure},
      {"LibraryCrossReference", Variant(), 0, 0, Answer::kEmpty},
      {"GetLastErrorText", Variant::Str(""), 0, 0, Answer::kEmpty},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(JudgeAnswer(*t.ByDispId(t.DispIdByName(c.method)), c.result, c.lastError, c.before), c.answer);
  }
}

TEST(ResultFormatTest, Reports) {
  CallReport ok;
  ok.method = "GetConversion";
  ok.hasResult = true;
  ok.result = Variant::Bool(true);
  ok.outs = {{"UnitsOut", Variant::Str("K")}, {"Offset", Variant::R8(273.15)}};
  EXPECT_EQ(FormatReportText(ok), "True\nUnitsOut: K\nOffset: 273.15\n");
  EXPECT_EQ(FormatReportError(ok), "");
  EXPECT_EQ(FormatReportJson(ok),
            "{\"method\":\"GetConversion\",\"result\":true,\"out\":{\"UnitsOut\":\"K\",\"Offset\":273.15},\"error\":null}");

  CallReport list;
  list.method = "GetCalculationList";
  list.hasResult = true;
  list.result = Array({Variant::Str("a b"), Variant::Str("c")});
  EXPECT_EQ(FormatReportText(list), "a b\nc\n") << "a flat list prints one element per line";
  list.result = Array({});
  EXPECT_EQ(FormatReportText(list), "") << "an empty list prints no line";
  EXPECT_EQ(FormatReportJson(list), "{\"method\":\"GetCalculationList\",\"result\":[],\"out\":{},\"error\":null}");
  list.result = Variant();
  list.empty = true;
  EXPECT_EQ(FormatReportText(list), "");
  EXPECT_EQ(FormatReportJson(list), "{\"method\":\"GetCalculationList\",\"result\":[],\"out\":{},\"error\":null}");

  CallReport failed;
  failed.method = "GetCalculationObject";
  failed.hasResult = true;
  failed.result = Variant::Dispatch(nullptr);
  failed.failed = true;
  failed.lastError.emplace(101, "Object \"x\" not found");
  failed.line = 3;
  failed.name = "calc";
  EXPECT_EQ(FormatReportText(failed), "null\n");
  EXPECT_EQ(FormatReportError(failed), "error 101: Object \"x\" not found");
  EXPECT_EQ(FormatReportJson(failed),
            "{\"line\":3,\"name\":\"calc\",\"method\":\"GetCalculationObject\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object \\\"x\\\" not found\"}}");
  failed.lastError.reset();
  EXPECT_NE(FormatReportError(failed), "");
  EXPECT_NE(FormatReportJson(failed).find("\"error\":{\"code\":null"), std::string::npos);

  CallReport broken;
  broken.method = "FreeUnusedComLibraries";
  broken.callError = "call failed: Connection reset by peer";
  EXPECT_EQ(FormatReportText(broken), "");
  EXPECT_EQ(FormatReportError(broken), "error: call failed: Connection reset by peer");
  EXPECT_EQ(FormatReportJson(broken),
            "{\"method\":\"FreeUnusedComLibraries\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":null,\"text\":\"call failed: Connection reset by peer\"}}");
}

}  // namespace
}  // namespace kv::client
