#include "dispatch/wrapper_log.h"

#include <cstdio>

#include "log/debug_log.h"

namespace kv {
namespace {

std::string Bracketed(const std::string& qualified, const std::string& label, const std::string& value) {
  return qualified + ": " + label + "( " + value + " )";
}

std::string TrueFalse(const com::Variant& v) { return v.Deref().boolVal() ? "True" : "False"; }

// The first string argument of a method, for the object lines.
const com::Variant* FirstStringArg(const MethodInfo& method, const std::vector<com::Variant>& args) {
  for (size_t i = 0; i < method.params.size() && i < args.size(); ++i)
    if (method.params[i].type == ParamType::Bstr && method.params[i].dir != ParamDir::Retval) return &args[i];
  return nullptr;
}

}  // namespace

std::string FormatLoggedValue(const com::Variant& in) {
  const com::Variant& v = in.Deref();
  char buf[512];
  switch (v.vt()) {
    case com::VT_BSTR: return v.bstr().ToUtf8();
    case com::VT_R8: case com::VT_DATE: case com::VT_R4:
      std::snprintf(buf, sizeof buf, v.AsReal() < 1e16 ? "%.16f" : "%.16e", v.AsReal());
      return buf;
    case com::VT_BOOL: return TrueFalse(v);
    default: {
      com::Variant s;
      return com::SUCCEEDED(com::ChangeType(v, com::VT_BSTR, &s)) ? s.bstr().ToUtf8() : std::string();
    }
  }
}

void LogInParams(const std::string& qualified, const MethodInfo& method, const std::vector<com::Variant>& args) {
  if (method.inLogs.empty() || !g_DebugLog.IsOn(LogCategory::InParams)) return;
  for (const auto& in : method.inLogs)
    g_DebugLog.Write(Bracketed(qualified, in.label, FormatLoggedValue(args[static_cast<size_t>(in.param)])), "");
}

void LogResults(const std::string& qualified, const MethodInfo& method, const std::vector<com::Variant>& args,
                const com::Variant& result) {
  if (method.resultLog == ResultLog::None || !g_DebugLog.IsOn(LogCategory::Results)) return;
  auto resultText = [&] {
    return result.vt() == com::VT_BOOL ? TrueFalse(result) : FormatLoggedValue(result);
  };
  switch (method.resultLog) {
    case ResultLog::None: break;
    case ResultLog::Result: g_DebugLog.Write(Bracketed(qualified, "Result", resultText()), ""); break;
    case ResultLog::ErrorAndResult:
      g_DebugLog.Write(Bracketed(qualified, "Error", FormatLoggedValue(args.at(0))), "");
      g_DebugLog.Write(Bracketed(qualified, "Result", resultText()), "");
      break;
    case ResultLog::EditOwner:
      for (size_t i = 1; i <= 3 && i < args.size(); ++i)
        g_DebugLog.Write(Bracketed(qualified, method.params[i].name, FormatLoggedValue(args[i])), "");
      g_DebugLog.Write(Bracketed(qualified, "Result", resultText()), "");
      break;
    case ResultLog::ArrayList: DebugLogArray(qualified + ": List", result); break;
    case ResultLog::PropertyArrays:
      DebugLogArray(qualified + ": PropertyList", args.at(1));
      DebugLogArray(qualified + ": PropertyValues", args.at(2));
      DebugLogArray(qualified + ": Results", result);
      break;
    case ResultLog::Object: {
      bool returned = result.vt() == com::VT_DISPATCH && result.unknown();
      std::string line = qualified + ": " + method.objectKind + (returned ? " Returned" : " NOT Returned !!!");
      if (const com::Variant* name = FirstStringArg(method, args)) line += "( " + FormatLoggedValue(*name) + " )";
      g_DebugLog.Write(line, "");
      break;
    }
  }
}

}  // namespace kv
