#include "client/result_format.h"

#include <charconv>
#include <cmath>
#include <cctype>
#include <cstdio>

#include "client/remote_object.h"
#include "platform/ole_date.h"

namespace kv::client {

using com::Variant;

namespace {

// Both forms of a failure whose last command error did not come back say the same.
constexpr const char* kErrorNotFetched = "the call failed and its error could not be fetched";

std::string FormatReal(double d) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return ec == std::errc() ? std::string(buf, end) : "nan";
}

std::string ObjectText(const Variant& v) {
  if (!v.unknown()) return "null";
  std::shared_ptr<RemoteObject> obj = RemoteObjectOf(v);
  return obj ? obj->path() : "(local object)";
}

bool IsRealVt(com::VARTYPE vt) { return vt == com::VT_R4 || vt == com::VT_R8 || vt == com::VT_CY; }

std::string ArrayText(const com::SafeArray& a, bool json, DateKind dates) {
  std::string out = "[";
  for (size_t i = 0; i < a.Count(); ++i) {
    if (i) out += json ? "," : ", ";
    const Variant& e = a.At(i);
    out += json ? JsonValue(e, dates) : e.vt() == com::VT_BSTR ? JsonString(e.bstr().ToUtf8()) : FormatValue(e, dates);
  }
  return out + "]";
}

bool IsScalarArray(const Variant& v) {
  if (!v.IsArray()) return false;
  for (size_t i = 0; i < v.array().Count(); ++i)
    if (v.array().At(i).IsArray()) return false;
  return true;
}

bool ContainsNoCase(std::string_view s, std::string_view word) {
  for (size_t i = 0; i + word.size() <= s.size(); ++i) {
    size_t k = 0;
    while (k < word.size() && std::tolower(static_cast<unsigned char>(s[i + k])) == word[k]) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

DateKind KindOfParam(const CallReport& r, std::string_view name, bool retval) {
  if (!r.info) return DateKind::kCalendar;
  for (const ParamInfo& p : r.info->params)
    if (retval ? p.dir == ParamDir::Retval : p.name == name) return DateKindOf(*r.info, p);
  return DateKind::kCalendar;
}

}  // namespace

DateKind DateKindOf(const MethodInfo& method, const ParamInfo& param) {
  if (param.dir == ParamDir::Retval) return method.name == "GetServerGmtOffset" ? DateKind::kSpan : DateKind::kCalendar;
  return ContainsNoCase(param.name, "rate") || ContainsNoCase(param.name, "offset") ? DateKind::kSpan
                                                                                   : DateKind::kCalendar;
}

std::string FormatSpan(double days) {
  if (!std::isfinite(days) || std::fabs(days) > 1e9) return FormatReal(days) + " days";
  const char* sign = days < 0 ? "-" : "";
  int64_t ms = std::llround(std::fabs(days) * 86400000.0);
  int64_t d = ms / 86400000;
  ms %= 86400000;
  char buf[96];
  int n = std::snprintf(buf, sizeof buf, "%.6g days (%s", days, sign);
  if (d) n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%lldd ", static_cast<long long>(d));
  n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02lld:%02lld:%02lld", static_cast<long long>(ms / 3600000),
                     static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60));
  if (ms % 1000) n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), ".%03lld", static_cast<long long>(ms % 1000));
  std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), ")");
  return buf;
}

std::string FormatDate(double date) {
  platform::SystemTime st;
  if (!std::isfinite(date) || !platform::OleDateToSystemTimeMs(date, &st)) return FormatReal(date);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", st.year, st.month, st.day, st.hour, st.minute,
                st.second);
  std::string out = buf;
  if (st.milliseconds) {
    std::snprintf(buf, sizeof buf, ".%03d", st.milliseconds);
    out += buf;
  }
  if (date < 0) out += " (day " + FormatReal(date) + ")";
  return out;
}

std::string FormatValue(const Variant& in, DateKind dates) {
  const Variant& v = in.Deref();
  if (v.IsArray()) return ArrayText(v.array(), false, dates);
  switch (v.vt()) {
    case com::VT_EMPTY: return "empty";
    case com::VT_NULL: return "null";
    case com::VT_BOOL: return v.boolVal() ? "True" : "False";
    case com::VT_BSTR: return v.bstr().ToUtf8();
    case com::VT_DATE: return dates == DateKind::kSpan ? FormatSpan(v.date()) : FormatDate(v.date());
    case com::VT_DISPATCH: case com::VT_UNKNOWN: return ObjectText(v);
    case com::VT_UI8: return std::to_string(static_cast<uint64_t>(v.AsInt()));
    default: return IsRealVt(v.vt()) ? FormatReal(v.AsReal()) : std::to_string(v.AsInt());
  }
}

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string JsonValue(const Variant& in, DateKind dates) {
  const Variant& v = in.Deref();
  if (v.IsArray()) return ArrayText(v.array(), true, dates);
  switch (v.vt()) {
    case com::VT_EMPTY: case com::VT_NULL: return "null";
    case com::VT_BOOL: return v.boolVal() ? "true" : "false";
    case com::VT_BSTR: return JsonString(v.bstr().ToUtf8());
    case com::VT_DATE:
      if (!std::isfinite(v.date())) return "null";
      return "{\"text\":" + JsonString(FormatValue(v, dates)) + ",\"days\":" + FormatReal(v.date()) + "}";
    case com::VT_DISPATCH: case com::VT_UNKNOWN: return v.unknown() ? JsonString(ObjectText(v)) : "null";
    default:
      if (IsRealVt(v.vt())) return std::isfinite(v.AsReal()) ? FormatReal(v.AsReal()) : "null";
      return FormatValue(v);
  }
}

bool IsFailureResult(const MethodInfo& method, const Variant& in) {
  int ret = method.RetvalIndex();
  if (ret < 0) return false;
  const Variant& v = in.Deref();
  switch (method.params[static_cast<size_t>(ret)].type) {
    case ParamType::Bool: return v.vt() == com::VT_BOOL && v.boolVal() == com::VARIANT_FALSE;
    case ParamType::Dispatch: return !v.unknown();
    case ParamType::Variant: return v.vt() == com::VT_EMPTY;
    case ParamType::Bstr: return v.vt() == com::VT_BSTR && v.bstr().Length() == 0;
    default: return false;
  }
}

bool KeepsPreviousError(const MethodInfo& method) {
  switch (method.behaviour) {
    case Behaviour::ForwardNoReset: case Behaviour::FixedFalse: case Behaviour::FixedEmpty:
    case Behaviour::FixedComServerErrors:
      return true;
    default:
      return false;
  }
}

Answer JudgeAnswer(const MethodInfo& method, const Variant& result, std::optional<int32_t> lastError,
                   int32_t errorBefore) {
  if (!IsFailureResult(method, result)) return Answer::kSuccess;
  ParamType t = method.params[static_cast<size_t>(method.RetvalIndex())].type;
  if (t == ParamType::Bool || t == ParamType::Dispatch || !lastError) return Answer::kFailure;
  // An error left by an earlier call is not this call's answer.
  if (KeepsPreviousError(method) && *lastError == errorBefore) return Answer::kEmpty;
  return *lastError != 0 ? Answer::kFailure : Answer::kEmpty;
}

std::string FormatReportText(const CallReport& r) {
  if (!r.callError.empty()) return "";
  std::string out;
  if (r.hasResult && !r.empty) {
    const Variant& v = r.result.Deref();
    DateKind dates = KindOfParam(r, "", true);
    if (IsScalarArray(v)) {
      for (size_t i = 0; i < v.array().Count(); ++i) out += FormatValue(v.array().At(i), dates) + "\n";
    } else {
      out += FormatValue(v, dates) + "\n";
    }
  }
  for (const auto& [name, value] : r.outs) out += name + ": " + FormatValue(value, KindOfParam(r, name, false)) + "\n";
  return out;
}

std::string FormatReportError(const CallReport& r) {
  if (!r.callError.empty()) return "error: " + r.callError;
  if (!r.failed) return "";
  if (r.lastError) return "error " + std::to_string(r.lastError->first) + ": " + r.lastError->second;
  return std::string("error: ") + kErrorNotFetched;
}

std::string FormatReportJson(const CallReport& r) {
  std::string out = "{";
  if (r.line) out += "\"line\":" + std::to_string(r.line) + ",";
  if (!r.name.empty()) out += "\"name\":" + JsonString(r.name) + ",";
  out += "\"method\":" + JsonString(r.method);
  std::string result = "null";
  if (r.hasResult && r.callError.empty()) {
    if (r.empty) result = r.result.Deref().vt() == com::VT_BSTR ? "\"\"" : "[]";
    else result = JsonValue(r.result, KindOfParam(r, "", true));
  }
  out += ",\"result\":" + result;
  out += ",\"out\":{";
  for (size_t i = 0; i < r.outs.size() && r.callError.empty(); ++i) {
    if (i) out += ",";
    out += JsonString(r.outs[i].first) + ":" + JsonValue(r.outs[i].second, KindOfParam(r, r.outs[i].first, false));
  }
  out += "},\"error\":";
  if (!r.callError.empty())
    out += "{\"code\":null,\"text\":" + JsonString(r.callError) + "}";
  else if (r.failed && r.lastError)
    out += "{\"code\":" + std::to_string(r.lastError->first) + ",\"text\":" + JsonString(r.lastError->second) + "}";
  else if (r.failed)
    out += "{\"code\":null,\"text\":" + JsonString(kErrorNotFetched) + "}";
  else
    out += "null";
  return out + "}";
}

}  // namespace kv::client
