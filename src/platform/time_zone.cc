#include "platform/time_zone.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "platform/ole_date.h"

namespace kv::platform {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr size_t kTzifHeaderSize = 44;
constexpr size_t kMaxTzifSize = 1 << 20;

bool IsAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

class RuleParser {
 public:
  explicit RuleParser(std::string_view s) : s_(s) {}

  bool AtEnd() const { return i_ == s_.size(); }
  bool Peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool Accept(char c) {
    if (!Peek(c)) return false;
    ++i_;
    return true;
  }

  // "EST" (three or more letters) or "<+0330>" (letters, digits, signs between angle brackets).
  bool Name(std::string* out) {
    size_t start = i_;
    if (Accept('<')) {
      start = i_;
      while (i_ < s_.size() && (IsAlnum(s_[i_]) || s_[i_] == '+' || s_[i_] == '-')) ++i_;
      const size_t end = i_;
      if (!Accept('>') || end - start < 3) return false;
      out->assign(s_.substr(start, end - start));
      return true;
    }
    while (i_ < s_.size() && std::isalpha(static_cast<unsigned char>(s_[i_]))) ++i_;
    if (i_ - start < 3) return false;
    out->assign(s_.substr(start, i_ - start));
    return true;
  }

  // [+-]hh[:mm[:ss]] in signed seconds; hours up to `maxHours`.
  bool Time(int maxHours, int* seconds) {
    int sign = 1;
    if (Accept('-')) {
      sign = -1;
    } else {
      Accept('+');
    }
    int h = 0, m = 0, sec = 0;
    if (!Number(3, maxHours, &h)) return false;
    if (Accept(':')) {
      if (!Number(2, 59, &m)) return false;
      if (Accept(':') && !Number(2, 59, &sec)) return false;
    }
    *seconds = sign * (h * 3600 + m * 60 + sec);
    return true;
  }

  // "Mm.w.d[/time]". The Julian-day forms are not supported.
  bool Rule(TransitionRule* out) {
    TransitionRule r;
    if (!Accept('M') || !Number(2, 12, &r.month) || r.month < 1 || !Accept('.') || !Number(1, 5, &r.week) ||
        r.week < 1 || !Accept('.') || !Number(1, 6, &r.weekday)) {
      return false;
    }
    if (Accept('/')) {
      int t = 0;
      if (!Time(167, &t)) return false;
      r.hour = t / 3600;
      r.minute = t % 3600 / 60;
      r.second = t % 60;
    }
    *out = r;
    return true;
  }

 private:
  bool Number(int maxDigits, int maxValue, int* out) {
    int v = 0, digits = 0;
    while (i_ < s_.size() && digits < maxDigits && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
      v = v * 10 + (s_[i_] - '0');
      ++i_;
      ++digits;
    }
    if (digits == 0 || v > maxValue) return false;
    *out = v;
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

bool ParseRule(std::string_view rule, TimeZoneInfo* out) {
  RuleParser p(rule);
  TimeZoneInfo info;
  int stdWest = 0;
  if (!p.Name(&info.standardName) || !p.Time(24, &stdWest)) return false;
  info.bias = stdWest / 60;
  if (p.AtEnd()) {
    *out = info;
    return true;
  }
  if (!p.Name(&info.daylightName)) return false;
  int dstWest = stdWest - 3600;
  if (!p.Peek(',') && !p.AtEnd() && !p.Time(24, &dstWest)) return false;
  info.daylightBias = dstWest / 60 - info.bias;
  if (p.AtEnd()) {
    // A daylight name without rules: the POSIX default transition dates.
    info.daylightDate = TransitionRule{3, 2, 0, 2, 0, 0};
    info.standardDate = TransitionRule{11, 1, 0, 2, 0, 0};
  } else if (!p.Accept(',') || !p.Rule(&info.daylightDate) || !p.Accept(',') || !p.Rule(&info.standardDate) ||
             !p.AtEnd()) {
    return false;
  }
  *out = info;
  return true;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

// Local wall time (seconds since 1970) at which `r` fires in `year`.
int64_t RuleLocalSeconds(int64_t year, const TransitionRule& r) {
  const int64_t first = DaysFromCivil(year, r.month, 1);
  int day = 1 + (r.weekday - WeekdayFromDays(first) + 7) % 7 + (r.week - 1) * 7;
  const int dim = DaysInMonth(year, r.month);
  while (day > dim) day -= 7;
  return (first + day - 1) * kSecondsPerDay + r.hour * 3600 + r.minute * 60 + r.second;
}

int64_t StandardOffset(const TimeZoneInfo& info) { return -int64_t{info.bias} * 60; }
int64_t DaylightOffset(const TimeZoneInfo& info) { return -(int64_t{info.bias} + info.daylightBias) * 60; }

// Whether daylight time is in force at the UTC instant. The daylight start is a standard wall
// time and the daylight end a daylight wall time; a start after the end in the year (southern
// hemisphere) means daylight time spans the new year.
bool IsDaylightAt(const TimeZoneInfo& info, int64_t unixUtc) {
  const int64_t stdOff = StandardOffset(info);
  int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(FloorDiv(unixUtc + stdOff, kSecondsPerDay), &year, &month, &day);
  const int64_t start = RuleLocalSeconds(year, info.daylightDate) - stdOff;
  const int64_t end = RuleLocalSeconds(year, info.standardDate) - DaylightOffset(info);
  if (start < end) return unixUtc >= start && unixUtc < end;
  return unixUtc >= start || unixUtc < end;
}

uint32_t BigEndian32(const std::string& data, size_t pos) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(data[pos + i]);
  return v;
}

// Size of the data block after a TZif header at `pos`, with `timeSize`-byte transition times.
std::optional<size_t> TzifBlockSize(const std::string& data, size_t pos, size_t timeSize) {
  if (data.size() < pos + kTzifHeaderSize || data.compare(pos, 4, "TZif") != 0) return std::nullopt;
  const size_t isUt = BigEndian32(data, pos + 20), isStd = BigEndian32(data, pos + 24),
               leap = BigEndian32(data, pos + 28), times = BigEndian32(data, pos + 32),
               types = BigEndian32(data, pos + 36), chars = BigEndian32(data, pos + 40);
  if (isUt > kMaxTzifSize || isStd > kMaxTzifSize || leap > kMaxTzifSize || times > kMaxTzifSize ||
      types > kMaxTzifSize || chars > kMaxTzifSize) {
    return std::nullopt;
  }
  return times * (timeSize + 1) + types * 6 + chars + leap * (timeSize + 4) + isStd + isUt;
}

// The POSIX rule line closing a version 2+ TZif file; nothing for a v1 file or unreadable data.
std::optional<std::string> ReadTzifFooter(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    data.append(buf, static_cast<size_t>(in.gcount()));
    if (data.size() > kMaxTzifSize) return std::nullopt;
  }
  const auto v1 = TzifBlockSize(data, 0, 4);
  if (!v1 || data[4] < '2') return std::nullopt;
  const size_t second = kTzifHeaderSize + *v1;
  const auto v2 = TzifBlockSize(data, second, 8);
  if (!v2) return std::nullopt;
  const size_t footer = second + kTzifHeaderSize + *v2;
  if (footer >= data.size() || data[footer] != '\n') return std::nullopt;
  const size_t end = data.find('\n', footer + 1);
  if (end == std::string::npos) return std::nullopt;
  return data.substr(footer + 1, end - footer - 1);
}

TimeZone FromFooter(const std::optional<std::string>& footer) {
  TimeZone zone;
  if (footer) TimeZone::FromPosixRule(*footer, &zone);
  return zone;
}

}  // namespace

bool TimeZone::FromPosixRule(std::string_view rule, TimeZone* out) {
  TimeZoneInfo info;
  if (!ParseRule(rule, &info)) {
    *out = TimeZone();
    return false;
  }
  out->info_ = std::move(info);
  return true;
}

TimeZone TimeZone::FromSystem() {
  const char* tz = std::getenv("TZ");
  if (tz != nullptr && *tz != '\0') {
    std::string_view name(tz);
    if (name.front() == ':') name.remove_prefix(1);
    if (name.empty()) return TimeZone();
    const std::string path =
        name.front() == '/' ? std::string(name) : "/usr/share/zoneinfo/" + std::string(name);
    if (auto footer = ReadTzifFooter(path)) return FromFooter(footer);
    TimeZone zone;
    FromPosixRule(name, &zone);
    return zone;
  }
  return FromFooter(ReadTzifFooter("/etc/localtime"));
}

int64_t TimeZone::OffsetAtUtc(int64_t unixUtc) const {
  if (!HasDaylight()) return StandardOffset(info_);
  return IsDaylightAt(info_, unixUtc) ? DaylightOffset(info_) : StandardOffset(info_);
}

int64_t TimeZone::OffsetAtLocal(int64_t unixLocal) const {
  const int64_t stdOff = StandardOffset(info_);
  if (!HasDaylight()) return stdOff;
  const int64_t dstOff = DaylightOffset(info_);
  const int64_t asStd = unixLocal - stdOff;
  const int64_t asDst = unixLocal - dstOff;
  if (!IsDaylightAt(info_, asStd)) return stdOff;
  if (IsDaylightAt(info_, asDst)) return dstOff;
  // Neither reading is valid: the wall time was skipped; keep the offset from before the change.
  return OffsetAtUtc(asStd < asDst ? asStd : asDst);
}

}  // namespace kv::platform
