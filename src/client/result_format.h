#pragma once
// How a client shows what a call gave back, as text or as JSON (kelvarin-cli prints these).
//
// Text form of a value: True/False; integers in decimal; reals in the shortest form that reads
// back exactly; calendar dates as "YYYY-MM-DD hh:mm:ss" (".mmm" added when there are
// milliseconds; the day number when out of range; a date before day 0 adds "(day -N)", since
// -0.25 and 0.25 name the same calendar time); spans (offsets, rates) as signed days with the
// hours, "-0.458333 days (-11:00:00)"; strings as they are; objects as their path, or "null";
// VT_EMPTY as "empty", VT_NULL as "null"; arrays as [a, "b", ...] with strings quoted and
// escaped as in JSON.
// JSON form: booleans, numbers (null when not finite), strings; dates as
// {"text": the text above, "days": the raw day number}; objects as their path or null;
// VT_EMPTY and VT_NULL as null; arrays as JSON arrays.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/variant.h"
#include "protocol/method_info.h"

namespace kv::client {

// A DATE is either a point on the calendar or a length of time (an offset from GMT, a rate).
enum class DateKind { kCalendar, kSpan };
// Decided by the parameter: GetServerGmtOffset's result and every *Rate / *Offset are spans.
DateKind DateKindOf(const MethodInfo& method, const ParamInfo& param);

std::string FormatDate(double date);
std::string FormatSpan(double days);
std::string FormatValue(const com::Variant& v, DateKind dates = DateKind::kCalendar);
std::string JsonString(std::string_view s);
std::string JsonValue(const com::Variant& v, DateKind dates = DateKind::kCalendar);

// Whether a method's result is its failure value: VARIANT_FALSE, no object, VT_EMPTY, or an
// empty string from a string-returning method. Long and date results and methods without a
// result never fail this way.
bool IsFailureResult(const MethodInfo& method, const com::Variant& result);

// Whether the row leaves the last command error as it was unless it sets one, so an error seen
// after it may belong to an earlier call.
bool KeepsPreviousError(const MethodInfo& method);

// How an answer reads once the last command error is known.
enum class Answer {
  kSuccess,
  kEmpty,    // a failure value with no error of its own: a successful empty answer
  kFailure,
};
// `lastError` is the error after the call (nullopt when it could not be fetched); `errorBefore`
// the error before it, asked only for rows that keep the previous error (0 otherwise).
// False from a Bool method and no object from an object method are failures whatever the
// error; an empty list, variant or string is a failure only with an error of its own.
Answer JudgeAnswer(const MethodInfo& method, const com::Variant& result, std::optional<int32_t> lastError,
                   int32_t errorBefore);

// Everything printed about one call.
struct CallReport {
  std::string method;
  bool hasResult = false;  // the method has a retval
  const MethodInfo* info = nullptr;  // decides how dates read; null: as calendar dates
  com::Variant result;
  std::vector<std::pair<std::string, com::Variant>> outs;  // in/out parameters by name
  bool failed = false;
  bool empty = false;  // a successful empty answer: no text, [] or "" in JSON
  // The last command error, fetched after a failure result.
  std::optional<std::pair<int32_t, std::string>> lastError;
  // The call itself did not complete (error reply, broken connection): why.
  std::string callError;
  // Batch only: the line number and the name the result is kept under.
  int line = 0;
  std::string name;
};

// Text: the result (an array of scalars one element per line, so nothing for an empty one or
// an empty answer), then "Name: value" for each
// in/out parameter. Empty for a call that did not complete.
std::string FormatReportText(const CallReport& r);
// "error <code>: <text>" or "error: <why>" (empty when nothing failed).
std::string FormatReportError(const CallReport& r);
// One line: {"method":..., "result":..., "out":{...}, "error":null|{"code":..., "text":...}}
// plus "line" and "name" when set. A call that did not complete has "code": null.
std::string FormatReportJson(const CallReport& r);

}  // namespace kv::client
