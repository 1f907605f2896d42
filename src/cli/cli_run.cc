#include "cli/cli_run.h"

#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "cli/cli_session.h"
#include "client/result_format.h"
#include "com/dispatch.h"

namespace kv::cli {
namespace {

using client::CallResult;
using client::RemoteObject;
using com::Variant;

struct RunWords {
  std::string name, file;
  bool warnOk = false;
  bool json = false;
};

bool ParseRunWords(const CliOptions& o, RunWords* w, std::string* why) {
  w->json = o.json;
  for (size_t i = 0; i < o.args.size(); ++i) {
    const std::string& a = o.args[i];
    if (a == "--warn-ok") {
      w->warnOk = true;
    } else if (a == "--json") {
      w->json = true;
    } else if (a == "--file") {
      if (i + 1 == o.args.size()) return *why = "--file needs a PATH", false;
      w->file = o.args[++i];
    } else if (!a.empty() && a[0] == '-') {
      return *why = "run does not know the option \"" + a + "\"", false;
    } else if (w->name.empty()) {
      w->name = a;
    } else {
      return *why = "run takes one NAME", false;
    }
  }
  if (w->name.empty() == w->file.empty()) return *why = "run needs a NAME or --file PATH, not both", false;
  return true;
}

// What a run left on its calculation.
struct RunResult {
  Variant value;
  long level = 0;
  std::string status, errorText;
};

const char* LevelName(long level) { return level == 0 ? "ok" : level == 1 ? "warning" : "error"; }

void Print(const std::string& what, const RunResult& r, bool json, std::ostream& out) {
  if (json) {
    out << "{\"calculation\":" << client::JsonString(what) << ",\"value\":" << client::JsonValue(r.value)
        << ",\"level\":" << r.level << ",\"status\":" << client::JsonString(r.status)
        << ",\"error_text\":" << client::JsonString(r.errorText) << "}\n";
    return;
  }
  out << "Value:     " << client::FormatValue(r.value) << "\n"
      << "Level:     " << r.level << " (" << LevelName(r.level) << ")\n"
      << "Status:    " << r.status << "\n"
      << "ErrorText: " << r.errorText << "\n";
}

int ExitFor(const RunResult& r, bool warnOk) {
  if (r.level <= 0) return kExitOk;
  if (r.level == 1) return warnOk ? kExitOk : kExitRunWarning;
  return kExitRunError;
}

long AsLong(const Variant& v) {
  Variant l;
  return com::SUCCEEDED(com::ChangeType(v, com::VT_I4, &l)) ? l.i4() : 0;
}

std::string AsText(const Variant& v) {
  Variant s;
  return com::SUCCEEDED(com::ChangeType(v, com::VT_BSTR, &s)) ? client::FormatValue(s) : std::string();
}

// A property of a remote object; VT_EMPTY when it cannot be read.
Variant Property(RemoteObject& obj, const char* name) {
  com::DISPID id = 0;
  CallResult r;
  if (!obj.GetIDsOfNames(name, &id).ok() || !obj.Invoke(id, com::DISPATCH_PROPERTYGET, {}, &r).ok()) return Variant();
  return r.result;
}

// Runs the calculation object `made` (a call's answer) with CalcExecute, reads what the run left
// on it and releases it.
int RunObject(RemoteObject& obj, const CallResult& made, const std::string& what, const RunWords& w,
              std::ostream& out, std::ostream& err) {
  std::shared_ptr<RemoteObject> calc = client::RemoteObjectOf(made.result);
  if (!calc) {
    err << "kelvarin-cli: run " << what << ": the server gave no calculation object\n";
    return kExitNotRun;
  }
  CallResult ran;
  const client::Status st = obj.Call("CalcExecute", {made.result}, &ran);
  RunResult rr;
  if (st.ok() && ran.result == Variant::Bool(true)) {
    rr.value = Property(*calc, "Value");
    rr.level = AsLong(Property(*calc, "Level"));
    rr.status = AsText(Property(*calc, "Status"));
    rr.errorText = AsText(Property(*calc, "ErrorText"));
  }
  calc->Release();
  if (!st.ok()) {
    err << "kelvarin-cli: " << st.ToString() << "\n";
    return kExitUsage;
  }
  if (ran.result != Variant::Bool(true)) {
    err << "kelvarin-cli: run " << what << ": CalcExecute refused (the execution right is needed)\n";
    return kExitNotRun;
  }
  Print(what, rr, w.json, out);
  return ExitFor(rr, w.warnOk);
}

// A stored calculation; else a schedule group of that name, made due now by ExecuteItem.
int RunStored(RemoteObject& obj, const RunWords& w, std::ostream& out, std::ostream& err) {
  CallResult made;
  if (client::Status st = obj.Call("GetCalculationObject", {Variant::Str(w.name)}, &made); !st.ok()) {
    err << "kelvarin-cli: " << st.ToString() << "\n";
    return kExitUsage;
  }
  if (client::RemoteObjectOf(made.result)) return RunObject(obj, made, w.name, w, out, err);
  CallResult r;
  if (client::Status st = obj.Call("ExecuteItem", {Variant::Str(w.name), Variant()}, &r); !st.ok()) {
    err << "kelvarin-cli: " << st.ToString() << "\n";
    return kExitUsage;
  }
  if (AsLong(r.result) == 2) {
    out << "schedule group " << w.name << " made due now\n";
    return kExitOk;
  }
  err << "kelvarin-cli: run " << w.name << ": no calculation or schedule group of that name\n";
  return kExitNotRun;
}

int RunFile(RemoteObject& obj, const RunWords& w, std::ostream& out, std::ostream& err) {
  std::ifstream in(w.file, std::ios::binary);
  if (!in) {
    err << "kelvarin-cli: run --file: cannot read " << w.file << "\n";
    return kExitUsage;
  }
  const std::string script((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CallResult made;
  if (client::Status st = obj.Call("CreateTemporaryCalc", {Variant::Str(script)}, &made); !st.ok()) {
    err << "kelvarin-cli: " << st.ToString() << "\n";
    return kExitUsage;
  }
  return RunObject(obj, made, w.file, w, out, err);
}

}  // namespace

int RunRun(const CliOptions& o, std::ostream& out, std::ostream& err) {
  RunWords w;
  std::string why;
  if (!ParseRunWords(o, &w, &why)) {
    err << "kelvarin-cli: " << why << "\n" << RunHelp();
    return kExitUsage;
  }
  Session s(o);
  if (int code = s.Open(out, err); code >= 0) return code;
  const int code = w.file.empty() ? RunStored(s.Object(), w, out, err) : RunFile(s.Object(), w, out, err);
  s.Close();
  return code;
}

std::string RunHelp() {
  return "kelvarin-cli [connection options] run NAME | --file PATH [--warn-ok] [--json]\n"
         "\n"
         "Runs the stored calculation NAME (GetCalculationObject, then CalcExecute) or the Lua script\n"
         "in PATH as a temporary calculation (CreateTemporaryCalc, then CalcExecute) and prints its\n"
         "Value, Level, Status and ErrorText; --json prints one JSON object {calculation, value,\n"
         "level, status, error_text}. A NAME that is a schedule group, not a calculation, makes the\n"
         "group due now (ExecuteItem).\n"
         "\n"
         "Exit status: 0 Level 0 (ok); 1 Level 1 (a warning; 0 with --warn-ok); 3 Level 2 (the\n"
         "calculation failed); 4 nothing ran (no such calculation or group, or the execution right\n"
         "was refused); 2 a bad command line or no connection.\n";
}

}  // namespace kv::cli
