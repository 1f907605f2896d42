#include "cli/cli_args.h"

#include <gtest/gtest.h>

#include "platform/ole_date.h"

namespace kv::cli {
namespace {

using com::Variant;

Variant Array(std::vector<Variant> items) { return com::VariantArray(std::move(items)); }

double Day(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  double out = 0;
  EXPECT_TRUE(platform::MakeDate(y, mo, d, h, mi, s, &out));
  return out;
}

TEST(ParseArgumentTest, WordsByParameterType) {
  NamedValues names{{"calc", Variant::Dispatch(nullptr)},
                    {"list", Array({Variant::Str("a")})},
                    {"blob", Variant::Str("\t\xe5\x8f\xb0 \"q\"\n<x/>")},
                    {"failed", Variant()}};
  struct Case {
    ParamType type;
    const char* text;
    bool ok;
    Variant want;  // when ok
  };
  const Case cases[] = {
      {ParamType::Bstr, "two words", true, Variant::Str("two words")},
      {ParamType::Bstr, "", true, Variant::Str("")},
      {ParamType::Bstr, "@blob", true, Variant::Str("\t\xe5\x8f\xb0 \"q\"\n<x/>")},
      {ParamType::Bstr, "@failed", true, Variant::Str("")},
      {ParamType::Bstr, "@nobody", true, Variant::Str("@nobody")},
      {ParamType::Bstr, "@", true, Variant::Str("@")},
      {ParamType::Bstr, "@calc", false, {}},
      {ParamType::Long, "-2147483648", true, Variant::I4(INT32_MIN)},
      {ParamType::Long, "2147483648", false, {}},
      {ParamType::Long, "12abc", false, {}},
      {ParamType::Long, "1.0", false, {}},
      {ParamType::Long, "", false, {}},
      {ParamType::Long, " 1", false, {}},
      {ParamType::Double, "2.5", true, Variant::R8(2.5)},
      {ParamType::Double, "-1e3", true, Variant::R8(-1000)},
      {ParamType::Double, "inf", false, {}},
      {ParamType::Double, "nan", false, {}},
      {ParamType::Double, "1e999", false, {}},
      {ParamType::Double, "2,5", false, {}},
      {ParamType::Bool, "TRUE", true, Variant::Bool(true)},
      {ParamType::Bool, "-1", true, Variant::Bool(true)},
      {ParamType::Bool, "1", true, Variant::Bool(true)},
      {ParamType::Bool, "false", true, Variant::Bool(false)},
      {ParamType::Bool, "0", true, Variant::Bool(false)},
      {ParamType::Bool, "yes", false, {}},
      {ParamType::Bool, "2", false, {}},
      {ParamType::Date, "45292.5", true, Variant::Date(45292.5)},
      {ParamType::Date, "2024-01-01", true, Variant::Date(Day(2024, 1, 1))},
      {ParamType::Date, "2024-02-29 13:45", true, Variant::Date(Day(2024, 2, 29, 13, 45))},
      {ParamType::Date, "2024-02-29T13:45:30", true, Variant::Date(Day(2024, 2, 29, 13, 45, 30))},
      {ParamType::Date, "2023-02-29", false, {}},
      {ParamType::Date, "2024-1-1", false, {}},
      {ParamType::Date, "2024-01-01 25:00", false, {}},
      {ParamType::Date, "2024-01-01 10:00:0", false, {}},
      {ParamType::Date, "yesterday", false, {}},
      {ParamType::Dispatch, "null", true, Variant::Dispatch(nullptr)},
      {ParamType::Dispatch, "", true, Variant::Dispatch(nullptr)},
      {ParamType::Dispatch, "@calc", true, Variant::Dispatch(nullptr)},
      {ParamType::Dispatch, "@missing", false, {}},
      {ParamType::Dispatch, "@list", false, {}},
      {ParamType::Dispatch, "/com/quorlith/Kelvarin/obj/1", false, {}},
      {ParamType::Variant, "12", true, Variant::I4(12)},
      {ParamType::Variant, "-12", true, Variant::I4(-12)},
      {ParamType::Variant, "4294967296", true, Variant::R8(4294967296.0)},
      {ParamType::Variant, "2.5", true, Variant::R8(2.5)},
      {ParamType::Variant, "true", true, Variant::Bool(true)},
      {ParamType::Variant, "null", true, Variant()},
      {ParamType::Variant, "", true, Variant()},
      {ParamType::Variant, "Boiler feed, pump 2", true, Variant::Str("Boiler feed, pump 2")},
      {ParamType::Variant, "12abc", true, Variant::Str("12abc")},
      {ParamType::Variant, "inf", true, Variant::Str("inf")},
      {ParamType::Variant, "\"12\"", true, Variant::Str("12")},
      {ParamType::Variant, "\"a\\\"b\\\\c\\n\\u00e9\\ud83d\\ude00\"", true,
       Variant::Str("a\"b\\c\n\xc3\xa9\xf0\x9f\x98\x80")},
      {ParamType::Variant, "[1, \"two\", three, [], [null, 2.5]]", true,
       Array({Variant::I4(1), Variant::Str("two"), Variant::Str("three"), Array({}), Array({Variant(), Variant::R8(2.5)})})},
      {ParamType::Variant, " [ a b , c ] ", true, Array({Variant::Str("a b"), Variant::Str("c")})},
      {ParamType::Variant, "@list", true, Array({Variant::Str("a")})},
      {ParamType::Variant, "[@list]", true, Array({Array({Variant::Str("a")})})},
      {ParamType::Variant, "@nobody", false, {}},
      {ParamType::Variant, "[1,,2]", false, {}},
      {ParamType::Variant, "[1,]", false, {}},
      {ParamType::Variant, "[1", false, {}},
      {ParamType::Variant, "[1] x", false, {}},
      {ParamType::Variant, "\"open", false, {}},
      {ParamType::Variant, "\"\\q\"", false, {}},
      {ParamType::Variant, "\"\\ud83d\"", false, {}},
      {ParamType::Variant, "[a\"b\"]", false, {}},
      {ParamType::Variant, "[[[[[[[[[1]]]]]]]]]", false, {}},
      {ParamType::Variant, "[[[[[[[[1]]]]]]]]", true,
       Array({Array({Array({Array({Array({Array({Array({Array({Variant::I4(1)})})})})})})})})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << TypeName(c.type) << " <" << c.text << ">");
    Variant out;
    std::string error;
    bool ok = ParseArgument(c.type, c.text, names, &out, &error);
    ASSERT_EQ(ok, c.ok) << error;
    if (ok) {
      EXPECT_EQ(out, c.want);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(ParseArgumentsTest, CountsAndTrailingInOutDefaults) {
  const InterfaceTable& t = ICalcCommandsInterface();
  const MethodInfo& conv = *t.ByDispId(t.DispIdByName("GetConversion"));  // s s [s d d]
  std::vector<Variant> out;
  std::string error;
  ASSERT_TRUE(ParseArguments(conv, {"Temperature", "C"}, {}, &out, &error)) << error;
  EXPECT_EQ(out, (std::vector<Variant>{Variant::Str("Temperature"), Variant::Str("C"), Variant::Str(""),
                                       Variant::R8(0), Variant::R8(0)}));
  ASSERT_TRUE(ParseArguments(conv, {"T", "C", "K", "1", "2"}, {}, &out, &error)) << error;
  EXPECT_EQ(out[4], Variant::R8(2));

  EXPECT_FALSE(ParseArguments(conv, {"T"}, {}, &out, &error));
  EXPECT_NE(error.find("2 to 5"), std::string::npos) << error;
  EXPECT_FALSE(ParseArguments(conv, {"T", "C", "K", "1", "2", "3"}, {}, &out, &error));
  EXPECT_FALSE(ParseArguments(conv, {"T", "C", "K", "one"}, {}, &out, &error));
  EXPECT_NE(error.find("argument 4 (Multiplier)"), std::string::npos) << error;

  const MethodInfo& version = *t.ByDispId(t.DispIdByName("CalcCommandVersion"));
  EXPECT_TRUE(ParseArguments(version, {}, {}, &out, &error));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ParseArguments(version, {"x"}, {}, &out, &error));
}

// Schedule rates and offsets as people write them; a plain number stays days, as on the wire.
TEST(ParseArgumentsTest, RatesAndOffsetsTakeDurations) {
  struct Case {
    const char* rate;
    double seconds;  // < 0: refused
  } cases[] = {
      {"2s", 2},          {"500ms", 0.5},   {"5min", 300},  {"1h", 3600},     {"1d", 86400},
      {"1h30min", 5400},  {"PT2S", 2},      {"PT0.5S", 0.5}, {"P1DT12H", 129600}, {"pt1m", 60},
      {"0.5", 43200},     {"2x", -1},       {"P1Y", -1},    {"PT", -1},       {"s", -1},
  };
  const InterfaceTable& t = ICalcCommandsInterface();
  const MethodInfo& add = *t.ByDispId(t.DispIdByName("AddScheduleGroup"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    std::vector<Variant> out;
    std::string error;
    const bool ok = ParseArguments(add, {"G", c.rate, "1min", "0", "0"}, {}, &out, &error);
    ASSERT_EQ(ok, c.seconds >= 0) << error;
    if (!ok) continue;
    Variant rate, offset;
    ASSERT_TRUE(com::SUCCEEDED(com::ChangeType(out[1], com::VT_R8, &rate)));
    ASSERT_TRUE(com::SUCCEEDED(com::ChangeType(out[2], com::VT_R8, &offset)));
    EXPECT_DOUBLE_EQ(rate.r8() * 86400, c.seconds);
    EXPECT_DOUBLE_EQ(offset.r8() * 86400, 60);
  }
}

}  // namespace
}  // namespace kv::cli
