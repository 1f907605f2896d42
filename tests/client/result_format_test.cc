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
      {Variant::Date(noon), "2024-03-05 12:00:07", "\"2024-03-05 12:00:07\""},
      {Variant::Date(withMs), "2024-03-05 12:00:07.250", "\"2024-03-05 12:00:07.250\""},
      {Variant::Date(1e9), "1e+09", "1e+09"},
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
  EXPECT_EQ(FormatReportText(list), "[]\n");

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
