#include "platform/time_zone.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace kv::platform {
namespace {

struct ParseCase {
  const char* rule;
  int bias;
  int daylightBias;
  const char* standardName;
  const char* daylightName;
  TransitionRule daylightDate;  // month 0: no daylight time
  TransitionRule standardDate;
};

const ParseCase kParseCases[] = {
    {"EST5EDT,M3.2.0,M11.1.0", 300, -60, "EST", "EDT", {3, 2, 0, 2, 0, 0}, {11, 1, 0, 2, 0, 0}},
    {"CET-1CEST,M3.5.0,M10.5.0/3", -60, -60, "CET", "CEST", {3, 5, 0, 2, 0, 0}, {10, 5, 0, 3, 0, 0}},
    {"UTC0", 0, 0, "UTC", "", {0, 0, 0, 2, 0, 0}, {0, 0, 0, 2, 0, 0}},
    {"<+0330>-3:30", -210, 0, "+0330", "", {0, 0, 0, 2, 0, 0}, {0, 0, 0, 2, 0, 0}},
    {"AEST-10AEDT,M10.1.0,M4.1.0/3", -600, -60, "AEST", "AEDT", {10, 1, 0, 2, 0, 0}, {4, 1, 0, 3, 0, 0}},
    // Daylight time one hour behind standard time, in winter.
    {"IST-1GMT0,M10.5.0,M3.5.0/1", -60, 60, "IST", "GMT", {10, 5, 0, 2, 0, 0}, {3, 5, 0, 1, 0, 0}},
    // Explicit daylight offset, half-hour daylight saving.
    {"NZST-12NZDT-13,M9.5.0,M4.1.0/3", -720, -60, "NZST", "NZDT", {9, 5, 0, 2, 0, 0}, {4, 1, 0, 3, 0, 0}},
    {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", -630, -30, "+1030", "+11", {10, 1, 0, 2, 0, 0}, {4, 1, 0, 2, 0, 0}},
    // Transition times before midnight and past the end of the day.
    {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 120, -60, "-02", "-01", {3, 5, 0, -1, 0, 0}, {10, 5, 0, 0, 0, 0}},
    {"ABC+3DEF,M3.2.6/25,M11.1.1/-1:30:15", 180, -60, "ABC", "DEF", {3, 2, 6, 25, 0, 0}, {11, 1, 1, -1, -30, -15}},
    {"XYZ4:30:10", 270, 0, "XYZ", "", {0, 0, 0, 2, 0, 0}, {0, 0, 0, 2, 0, 0}},
    // A daylight name alone takes the default transition dates.
    {"EST5EDT", 300, -60, "EST", "EDT", {3, 2, 0, 2, 0, 0}, {11, 1, 0, 2, 0, 0}},
};

void ExpectRule(const TransitionRule& got, const TransitionRule& want) {
  EXPECT_EQ(got.month, want.month);
  if (want.month == 0) return;
  EXPECT_EQ(got.week, want.week);
  EXPECT_EQ(got.weekday, want.weekday);
  EXPECT_EQ(got.hour, want.hour);
  EXPECT_EQ(got.minute, want.minute);
  EXPECT_EQ(got.second, want.second);
}

TEST(TimeZoneTest, ParsesPosixRules) {
  for (const auto& c : kParseCases) {
    SCOPED_TRACE(c.rule);
    TimeZone zone;
    ASSERT_TRUE(TimeZone::FromPosixRule(c.rule, &zone));
    const TimeZoneInfo& info = zone.Info();
    EXPECT_EQ(info.bias, c.bias);
    EXPECT_EQ(info.standardBias, 0);
    EXPECT_EQ(info.daylightBias, c.daylightBias);
    EXPECT_EQ(info.standardName, c.standardName);
    EXPECT_EQ(info.daylightName, c.daylightName);
    EXPECT_EQ(zone.HasDaylight(), c.daylightDate.month != 0);
    ExpectRule(info.daylightDate, c.daylightDate);
    ExpectRule(info.standardDate, c.standardDate);
  }
}

TEST(TimeZoneTest, RefusesBadRulesAndStaysUtc) {
  const char* bad[] = {
      "",
      "EST",                          // no offset
      "ES5",                          // name too short
      "5EST",
      "<AB>5",                        // quoted name too short
      "<+0330-3:30",                  // unterminated quote
      "EST25",                        // offset beyond 24 hours
      "EST5:60",
      "EST5EDT,M3.2.0",               // one transition only
      "EST5EDT,M13.2.0,M11.1.0",
      "EST5EDT,M0.2.0,M11.1.0",
      "EST5EDT,M3.6.0,M11.1.0",
      "EST5EDT,M3.0.0,M11.1.0",
      "EST5EDT,M3.2.7,M11.1.0",
      "EST5EDT,M3.2.0/x,M11.1.0",
      "EST5EDT,J60,J300",             // Julian-day forms are not supported
      "EST5EDT,59,299",
      "EST5EDT,M3.2.0,M11.1.0 ",      // trailing text
      "EST5EDT4x",
      "garbage",
  };
  for (const char* rule : bad) {
    SCOPED_TRACE(rule);
    TimeZone zone;
    ASSERT_TRUE(TimeZone::FromPosixRule("CET-1CEST,M3.5.0,M10.5.0/3", &zone));
    EXPECT_FALSE(TimeZone::FromPosixRule(rule, &zone));
    EXPECT_EQ(zone.Info().bias, 0);
    EXPECT_FALSE(zone.HasDaylight());
    EXPECT_EQ(zone.OffsetAtUtc(1752580800), 0);
  }
}

struct OffsetCase {
  const char* rule;
  int64_t unixTime;
  int64_t offset;
  const char* what;
};

TEST(TimeZoneTest, OffsetAtUtc) {
  const OffsetCase cases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", 1741503599, -5 * 3600, "2025-03-09 06:59:59 UTC"},
      {"EST5EDT,M3.2.0,M11.1.0", 1741503600, -4 * 3600, "2025-03-09 07:00:00 UTC"},
      {"EST5EDT,M3.2.0,M11.1.0", 1762063199, -4 * 3600, "2025-11-02 05:59:59 UTC"},
      {"EST5EDT,M3.2.0,M11.1.0", 1762063200, -5 * 3600, "2025-11-02 06:00:00 UTC"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1743296399, 3600, "2025-03-30 00:59:59 UTC"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1743296400, 7200, "2025-03-30 01:00:00 UTC"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1761440399, 7200, "2025-10-26 00:59:59 UTC"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1761440400, 3600, "2025-10-26 01:00:00 UTC"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1736942400, 11 * 3600, "2025-01-15 (summer)"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1752580800, 10 * 3600, "2025-07-15 (winter)"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1735651800, 11 * 3600, "2024-12-31 13:30 UTC, local new year"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1743868799, 11 * 3600, "2025-04-05 15:59:59 UTC"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1743868800, 10 * 3600, "2025-04-05 16:00:00 UTC"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1759593599, 10 * 3600, "2025-10-04 15:59:59 UTC"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1759593600, 11 * 3600, "2025-10-04 16:00:00 UTC"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1736942400, 0, "2025-01-15"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1752580800, 3600, "2025-07-15"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1743296399, 0, "2025-03-30 00:59:59 UTC"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1743296400, 3600, "2025-03-30 01:00:00 UTC"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1761440399, 3600, "2025-10-26 00:59:59 UTC"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1761440400, 0, "2025-10-26 01:00:00 UTC"},
      // Changes at -1:00 and 0:00 local time land on the same instants as in Europe.
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 1743296399, -7200, "2025-03-30 00:59:59 UTC"},
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 1743296400, -3600, "2025-03-30 01:00:00 UTC"},
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 1761440399, -3600, "2025-10-26 00:59:59 UTC"},
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 1761440400, -7200, "2025-10-26 01:00:00 UTC"},
      {"<+0330>-3:30", 1752580800, 12600, "no daylight time"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rule << " at " << c.what);
    TimeZone zone;
    ASSERT_TRUE(TimeZone::FromPosixRule(c.rule, &zone));
    EXPECT_EQ(zone.OffsetAtUtc(c.unixTime), c.offset);
  }
}

TEST(TimeZoneTest, OffsetAtLocalInTheGapAndTheRepeatedHour) {
  const OffsetCase cases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", 1741485599, -5 * 3600, "2025-03-09 01:59:59"},
      {"EST5EDT,M3.2.0,M11.1.0", 1741487400, -5 * 3600, "2025-03-09 02:30 (skipped)"},
      {"EST5EDT,M3.2.0,M11.1.0", 1741489200, -4 * 3600, "2025-03-09 03:00"},
      {"EST5EDT,M3.2.0,M11.1.0", 1762045199, -4 * 3600, "2025-11-02 00:59:59"},
      {"EST5EDT,M3.2.0,M11.1.0", 1762047000, -5 * 3600, "2025-11-02 01:30 (repeated)"},
      {"EST5EDT,M3.2.0,M11.1.0", 1762048800, -5 * 3600, "2025-11-02 02:00"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1759629599, 10 * 3600, "2025-10-05 01:59:59"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1759631400, 10 * 3600, "2025-10-05 02:30 (skipped)"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1759633200, 11 * 3600, "2025-10-05 03:00"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1743904799, 11 * 3600, "2025-04-06 01:59:59"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1743906600, 10 * 3600, "2025-04-06 02:30 (repeated)"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1743908400, 10 * 3600, "2025-04-06 03:00"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1735691400, 11 * 3600, "2025-01-01 00:30"},
      // Here the clocks go forward when daylight time ends, and back when it begins.
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1743296399, 0, "2025-03-30 00:59:59"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1743298200, 0, "2025-03-30 01:30 (skipped)"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1743300000, 3600, "2025-03-30 02:00"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1761440399, 3600, "2025-10-26 00:59:59"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1761442200, 3600, "2025-10-26 01:30 (repeated)"},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 1761444000, 0, "2025-10-26 02:00"},
      {"UTC0", 1761444000, 0, "no daylight time"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rule << " at local " << c.what);
    TimeZone zone;
    ASSERT_TRUE(TimeZone::FromPosixRule(c.rule, &zone));
    EXPECT_EQ(zone.OffsetAtLocal(c.unixTime), c.offset);
  }
}

// Builds a version 2 TZif file: both data blocks carry transitions, types, names, leap seconds
// and flags, so the footer is only found by skipping them by their counts.
std::string MakeTzif(char version, const std::string& footer) {
  auto be32 = [](std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
  };
  auto block = [&](std::string& out, int timeSize) {
    out += "TZif";
    out.push_back(version);
    out.append(15, '\0');
    const uint32_t isUt = 2, isStd = 2, leap = 1, times = 3, types = 2, chars = 8;
    for (uint32_t v : {isUt, isStd, leap, times, types, chars}) be32(out, v);
    for (uint32_t i = 0; i < times; ++i) {
      if (timeSize == 8) be32(out, 0);
      be32(out, 0x0a0a0a0a + i);  // newline bytes inside the data
    }
    for (uint32_t i = 0; i < times; ++i) out.push_back(static_cast<char>(i % 2));
    for (uint32_t i = 0; i < types; ++i) {
      be32(out, 36000 + 3600 * i);
      out.push_back(static_cast<char>(i));
      out.push_back(static_cast<char>(4 * i));
    }
    out.append("AEST\0AED", chars);
    for (uint32_t i = 0; i < leap; ++i) {
      if (timeSize == 8) be32(out, 0);
      be32(out, 0x0a0a0a0a);
      be32(out, 1);
    }
    out.append(isStd + isUt, '\n');
  };
  std::string data;
  block(data, 4);
  if (version >= '2') {
    block(data, 8);
    data += "\n" + footer + "\n";
  }
  return data;
}

class FromSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    dir_ = std::filesystem::temp_directory_path() / ("kv_tz_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string WriteFile(const std::string& name, const std::string& data) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << data;
    return path.string();
  }

  std::optional<std::string> saved_;
  std::filesystem::path dir_;
};

TEST_F(FromSystemTest, ReadsTzFromEnvironment) {
  const std::string v2 = WriteFile("v2", MakeTzif('2', "AEST-10AEDT,M10.1.0,M4.1.0/3"));
  const std::string v3 = WriteFile("v3", MakeTzif('3', "<-02>2<-01>,M3.5.0/-1,M10.5.0/0"));
  const std::string v1 = WriteFile("v1", MakeTzif('\0', ""));
  const std::string noRule = WriteFile("norule", MakeTzif('2', ""));
  const std::string junk = WriteFile("junk", "not a zone file\nEST5EDT\n");
  struct Case {
    std::string tz;
    int bias;
    int daylightMonth;
  };
  const Case cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", -60, 3},
      {":EST5EDT,M3.2.0,M11.1.0", 300, 3},
      {v2, -600, 10},
      {":" + v2, -600, 10},
      {v3, 120, 3},
      {v1, 0, 0},
      {noRule, 0, 0},
      {junk, 0, 0},
      {"no zone here", 0, 0},
      {":", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tz);
    ASSERT_EQ(setenv("TZ", c.tz.c_str(), 1), 0);
    const TimeZone zone = TimeZone::FromSystem();
    EXPECT_EQ(zone.Info().bias, c.bias);
    EXPECT_EQ(zone.Info().daylightDate.month, c.daylightMonth);
  }
}

TEST_F(FromSystemTest, ReadsNamedZoneFromTheZoneDatabase) {
  if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Paris")) GTEST_SKIP() << "no zone database";
  ASSERT_EQ(setenv("TZ", "Europe/Paris", 1), 0);
  const TimeZone zone = TimeZone::FromSystem();
  EXPECT_EQ(zone.Info().bias, -60);
  EXPECT_EQ(zone.OffsetAtUtc(1752580800), 7200);
  EXPECT_EQ(zone.OffsetAtUtc(1736942400), 3600);
}

}  // namespace
}  // namespace kv::platform
