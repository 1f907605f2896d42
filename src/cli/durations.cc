#include "cli/durations.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace kv::cli {
namespace {

constexpr double kSecondsPerDay = 86400.0;

// A non-negative decimal number at `*pos` ("1", "0.5", ".5"), advancing past it.
bool Number(std::string_view s, size_t* pos, double* out) {
  size_t end = *pos;
  while (end < s.size() && (std::isdigit(static_cast<unsigned char>(s[end])) || s[end] == '.')) ++end;
  if (end == *pos) return false;
  const std::string digits(s.substr(*pos, end - *pos));
  char* stop = nullptr;
  *out = std::strtod(digits.c_str(), &stop);
  if (stop != digits.c_str() + digits.size() || !std::isfinite(*out)) return false;
  *pos = end;
  return true;
}

// Seconds per unit, or 0 for an unknown one.
double UnitSeconds(std::string_view unit) {
  struct Unit {
    std::string_view name;
    double seconds;
  };
  static constexpr Unit kUnits[] = {{"ms", 0.001}, {"s", 1},     {"sec", 1},      {"min", 60},
                                    {"h", 3600},   {"d", 86400}, {"w", 7 * 86400}};
  for (const Unit& u : kUnits)
    if (unit == u.name) return u.seconds;
  return 0;
}

bool Simple(std::string_view s, double* seconds) {
  size_t pos = 0;
  *seconds = 0;
  while (pos < s.size()) {
    double n = 0;
    if (!Number(s, &pos, &n)) return false;
    const size_t start = pos;
    while (pos < s.size() && std::isalpha(static_cast<unsigned char>(s[pos]))) ++pos;
    const double unit = UnitSeconds(s.substr(start, pos - start));
    if (unit == 0) return false;
    *seconds += n * unit;
  }
  return true;
}

// P[nW][nD][T[nH][nM][nS]]; months and years have no fixed length and are refused.
bool Iso(std::string_view s, double* seconds) {
  if (s.size() < 2 || (s[0] != 'P' && s[0] != 'p')) return false;
  size_t pos = 1;
  bool time = false, any = false;
  *seconds = 0;
  while (pos < s.size()) {
    if (!time && (s[pos] == 'T' || s[pos] == 't')) {
      time = true;
      ++pos;
      continue;
    }
    double n = 0;
    if (!Number(s, &pos, &n) || pos == s.size()) return false;
    const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(s[pos++])));
    double per = 0;
    if (!time && unit == 'W') per = 7 * 86400;
    else if (!time && unit == 'D') per = 86400;
    else if (time && unit == 'H') per = 3600;
    else if (time && unit == 'M') per = 60;
    else if (time && unit == 'S') per = 1;
    else return false;
    *seconds += n * per;
    any = true;
  }
  return any;
}

}  // namespace

bool ParseDuration(std::string_view text, double* days) {
  if (text.empty()) return false;
  const bool negative = text[0] == '-';
  if (negative) text.remove_prefix(1);
  double seconds = 0;
  if (!Iso(text, &seconds) && !Simple(text, &seconds)) return false;
  *days = (negative ? -seconds : seconds) / kSecondsPerDay;
  return true;
}

}  // namespace kv::cli
