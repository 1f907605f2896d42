#pragma once
// How kelvarin-cli prints what a call gave back, as text or as JSON.
//
// Text form of a value: True/False; integers in decimal; reals in the shortest form that reads
// back exactly; dates as "YYYY-MM-DD hh:mm:ss" (".mmm" added when there are milliseconds; the
// day number when out of range); strings as they are; objects as their path, or "null";
// VT_EMPTY as "empty", VT_NULL as "null"; arrays as [a, "b", ...] with strings quoted and
// escaped as in JSON.
// JSON form: booleans, numbers (null when not finite), strings; dates as the text above (the
// day number when out of range);
// objects as their path or null; VT_EMPTY and VT_NULL as null; arrays as JSON arrays.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/variant.h"
#include "protocol/method_info.h"

namespace kv::client {

std::string FormatDate(double date);
std::string FormatValue(const com::Variant& v);
std::string JsonString(std::string_view s);
std::string JsonValue(const com::Variant& v);

// Whether a method's result means failure: VARIANT_FALSE, no object, VT_EMPTY, or an empty
// string from a string-returning method. Long and date results and methods without a result
// never fail this way.
bool IsFailureResult(const MethodInfo& method, const com::Variant& result);

// Everything printed about one call.
struct CallReport {
  std::string method;
  bool hasResult = false;  // the method has a retval
  com::Variant result;
  std::vector<std::pair<std::string, com::Variant>> outs;  // in/out parameters by name
  bool failed = false;
  // The last command error, fetched after a failure result.
  std::optional<std::pair<int32_t, std::string>> lastError;
  // The call itself did not complete (error reply, broken connection): why.
  std::string callError;
  // Batch only: the line number and the name the result is kept under.
  int line = 0;
  std::string name;
};

// Text: the result (an array of scalars one element per line), then "Name: value" for each
// in/out parameter. Empty for a call that did not complete.
std::string FormatReportText(const CallReport& r);
// "error <code>: <text>" or "error: <why>" (empty when nothing failed).
std::string FormatReportError(const CallReport& r);
// One line: {"method":..., "result":..., "out":{...}, "error":null|{"code":..., "text":...}}
// plus "line" and "name" when set. A call that did not complete has "code": null.
std::string FormatReportJson(const CallReport& r);

}  // namespace kv::client
