#include "cli/cli_help.h"
#include "cli/cli_run.h"

#include <cstdio>
#include <ostream>
#include <sstream>

#include "cli/cli_args.h"
#include "cli/cli_log.h"
#include "cli/cli_reg.h"
#include "cli/cli_scheduler.h"
#include "cli/cli_tag.h"

namespace kv::cli {

namespace {

std::string Signature(const MethodInfo& m) {
  std::string out = m.name + "(";
  bool first = true;
  for (const ParamInfo& p : m.params) {
    if (p.dir == ParamDir::Retval) continue;
    out += first ? "" : ", ";
    first = false;
    out += std::string(p.dir == ParamDir::InOut ? "inout " : "") + p.name + " " + TypeName(p.type);
  }
  out += ")";
  int ret = m.RetvalIndex();
  if (ret >= 0) out += std::string(" -> ") + TypeName(m.params[static_cast<size_t>(ret)].type);
  return out;
}

const char* FailureMeaning(ParamType t) {
  switch (t) {
    case ParamType::Bool: return "False means failure";
    case ParamType::Dispatch: return "no object (null) means failure";
    case ParamType::Variant: return "empty is a failure when the call set an error, else an empty answer";
    case ParamType::Bstr: return "an empty string is a failure when the call set an error, else an empty answer";
    default: return "printed as it comes; it never counts as a failure";
  }
}

const char* TypeHelp(ParamType t) {
  switch (t) {
    case ParamType::Bstr: return "the word as given, or @NAME (a string kept in a batch)";
    case ParamType::Long: return "a decimal integer (32 bits)";
    case ParamType::Double: return "a finite number";
    case ParamType::Date: return "a day number or YYYY-MM-DD[ hh:mm[:ss]]";
    case ParamType::Bool: return "true, false, 1, 0 or -1";
    case ParamType::Dispatch: return "@NAME (an object kept in a batch) or null";
    case ParamType::Variant: return "a literal: 12, 2.5, true, \"text\", word, [a, b], null, @NAME";
  }
  return "";
}

// The edit-copy method that cancels what `m` leaves in the store's Edit folder, or "".
std::string EditCopyCanceller(const MethodInfo& m) {
  bool leavesCopy = m.name.rfind("Create", 0) == 0 || m.name.find("EditObject") != std::string::npos;
  if (!leavesCopy || m.name.rfind("Delete", 0) == 0) return "";
  if (m.name.find("Calculation") != std::string::npos) return "DeleteCalculationEditObject";
  if (m.name.find("Library") != std::string::npos) return "DeleteLibraryEditObject";
  return "";
}

// What the parameters alone do not say about a method.
const char* MethodNote(std::string_view name) {
  struct Note {
    const char* method;
    const char* text;
  };
  static const Note notes[] = {
      {"GetConversion",
       "  direction: a value in UnitsIn = the value in UnitsOut x Multiplier + Offset; e.g.\n"
       "  GetConversion Temperature F C gives Multiplier 1.8, Offset 32 (100 C is 212 F)\n"},
      {"GetServerGmtOffset",
       "  the result is GMT minus the server's local time at DateTime (0: now), printed as\n"
       "  signed days with the hours: -0.458333 days (-11:00:00) is 11 hours east of GMT\n"},
  };
  for (const Note& n : notes)
    if (name == n.method) return n.text;
  return nullptr;
}

}  // namespace

bool ReturnsObject(const MethodInfo& m) {
  for (const ParamInfo& p : m.params)
    if (p.dir != ParamDir::In && p.type == ParamType::Dispatch) return true;
  return false;
}

std::string OneShotObjectNote(const MethodInfo& m, const std::string& firstArg) {
  std::string out = "kelvarin-cli: " + m.name +
                    " returned an object, and it was released when this command ended; to keep working on it, "
                    "make the call and the next ones in one `kelvarin-cli batch FILE`\n";
  if (std::string cancel = EditCopyCanceller(m); !cancel.empty())
    out += "kelvarin-cli: its edit copy stays in the store until saved or cancelled: kelvarin-cli " + cancel + " " +
           (firstArg.empty() ? std::string("NAME") : firstArg) + "\n";
  return out;
}

std::string UsageText() {
  return R"TEXT(usage: kelvarin-cli [OPTIONS] METHOD [ARG ...]
       kelvarin-cli [OPTIONS] batch FILE|-
       kelvarin-cli [--app NAME] --list
       kelvarin-cli [--app NAME] --help [METHOD|reg|log|tag]
       kelvarin-cli reg get|set|delete|list ...     (the registry store; --help reg)
       kelvarin-cli log [--follow] [--since TIME]   (the diagnostic log; --help log)
       kelvarin-cli run NAME | --file PATH [--warn-ok]  (run one calculation; --help run)
       kelvarin-cli scheduler [--json]              (schedule group threads; --help scheduler)
       kelvarin-cli tag list|get|set|history ...    (the process tags; --help tag)
       kelvarin-cli --version

Calls one command of the kelvarin calculation server on a new command object
(Kelvarin.CalcCommands) and prints what it answered.

Options (before METHOD):
  --address ADDR   D-Bus address of the server (default: unix:path=$KELVARIN_SOCKET,
                   else $XDG_RUNTIME_DIR/kelvarin/bus, else /run/kelvarin/bus as root,
                   else /tmp/kelvarin-<uid>/bus)
  --socket PATH    the same as --address unix:path=PATH
  --bus system|session
                   reach the server through a bus daemon (name com.quorlith.Kelvarin)
  --app NAME       use an application command object (Kelvarin.CalcAppCommands) and
                   call SetBaseDirectory NAME on it first
  --json           print one JSON object per call:
                   {"method":..., "result":..., "out":{NAME: value, ...},
                    "error":null or {"code":N, "text":"..."}}
  --timeout SEC    how long one call may take (default 25 s)
  --list           list the methods of the object's table
  --help [METHOD]  this text, or the parameters of METHOD
  --version        print the version of kelvarin-cli
A value may also follow its option after "=" (--socket=PATH).

Arguments are the method's in and in/out parameters in order (see --help METHOD);
in/out parameters at the end may be left out. Words are read by the parameter type:
  string  as given, or @NAME     long    decimal integer (32 bits)
  double  finite number          bool    true, false, 1, 0, -1
  date    OLE day number, or YYYY-MM-DD[ hh:mm[:ss]]
  object  @NAME (kept earlier in a batch), or null
  variant 12 -> VT_I4, 2.5 -> VT_R8, true/false -> VT_BOOL, "text" or a bare word ->
          VT_BSTR, [a, b, ...] -> array, null or nothing -> VT_EMPTY, @NAME -> kept value
Method names are matched without regard to case. Everything after METHOD is an
argument, so negative numbers need no "--".

Output: the result (True/False, text, numbers, objects as their path; a list one
element per line, so an empty list prints nothing), then "NAME: value" for each in/out
parameter. Calendar dates print as YYYY-MM-DD hh:mm:ss (a date before 1899-12-30 adds
its signed day number); offsets and rates (GetServerGmtOffset's result, *Rate, *Offset)
as signed days with the hours, "-0.458333 days (-11:00:00)". With --json a date is
{"text": ..., "days": the raw day number}.
A failure value (False, no object, empty, or an empty string) makes kelvarin-cli ask
GetLastCommandError on the same object. False and no object are failures; an empty list
or string is a failure only when the call left an error of its own (a method that keeps
the previous error must have set a new one), otherwise it is an empty answer. A failure
prints "error CODE: TEXT" (to standard error; in a batch, in line).

An object a single call returns lives only as long as that call's connection: it is
released when kelvarin-cli ends (and an edit copy it made stays in the store until
DeleteCalculationEditObject or DeleteLibraryEditObject). Use a batch to work on it.

Batch: "batch FILE" (or "-" for standard input) runs every line on ONE connection and
ONE command object, in order. A line is
  [NAME =] METHOD [ARG ...]
NAME = keeps the result (typically an object) for later arguments written @NAME.
Blank lines and lines starting with # are skipped. "..." quotes a word with blanks
(\" and \\ inside), '...' quotes verbatim, "" is an empty word. Every line is checked
before the first call; output shows each line as "> line" followed by its result.
Example (a new calculation Boiler, saved, then read back):
  calc = CreateCalculationObject Boiler "" ""
  SaveCalculationObject @calc
  GetObjectProperties @calc '["Libraries", "SummaryState"]'
  GetCalculationList

Exit status: 0 when every result means success, 1 when a result means failure or the
server refused a call, 2 for a bad command line or batch, or no working connection.
)TEXT";
}

std::string MethodList(const InterfaceTable& table) {
  std::string out;
  for (const MethodInfo& m : table.methods) out += Signature(m) + "\n";
  return out;
}

std::string MethodHelp(const InterfaceTable& t, const MethodInfo& m) {
  std::ostringstream o;
  o << m.name << "  (" << t.name << ", DISPID " << t.DispIdByName(m.name) << ")\n";
  o << "  usage: kelvarin-cli " << m.name;
  int optional = 0;
  size_t required = RequiredArgumentCount(m), n = 0;
  for (const ParamInfo& p : m.params) {
    if (p.dir == ParamDir::Retval) continue;
    if (++n > required) {
      o << " [" << p.name;
      ++optional;
    } else {
      o << " " << p.name;
    }
  }
  o << std::string(static_cast<size_t>(optional), ']') << "\n";
  for (const ParamInfo& p : m.params) {
    if (p.dir == ParamDir::Retval) continue;
    char line[160];
    std::snprintf(line, sizeof line, "  %-22s %-7s %-8s %s\n", p.name.c_str(), p.dir == ParamDir::In ? "in" : "in/out",
                  TypeName(p.type), TypeHelp(p.type));
    o << line;
  }
  if (optional) o << "  in/out parameters after the last in parameter may be left out (they start empty)\n";
  int ret = m.RetvalIndex();
  if (ret >= 0) {
    ParamType rt = m.params[static_cast<size_t>(ret)].type;
    o << "  result: " << TypeName(rt) << "; " << FailureMeaning(rt) << "\n";
  } else {
    o << "  result: none\n";
  }
  if (const char* note = MethodNote(m.name)) o << note;
  if (ReturnsObject(m)) {
    o << "  the object lives only as long as its connection: a single call releases it when\n"
         "  kelvarin-cli ends; use batch to work on it (NAME = " << m.name << " ..., then @NAME)\n";
    if (std::string cancel = EditCopyCanceller(m); !cancel.empty())
      o << "  the edit copy stays in the store until saved or cancelled with: kelvarin-cli " << cancel << " NAME\n";
  }
  return o.str();
}

const MethodInfo* FindMethod(const InterfaceTable& table, std::string_view name) {
  return table.ByDispId(table.DispIdByName(name));
}

const MethodInfo* FindMethodOrReport(const InterfaceTable& table, std::string_view name, std::ostream& err) {
  const MethodInfo* m = FindMethod(table, name);
  if (!m) err << "kelvarin-cli: " << table.name << " has no method " << name << " (see --list)\n";
  return m;
}

int RunHelp(const CliOptions& o, std::ostream& out, std::ostream& err) {
  const InterfaceTable& t = CommandTable(o);
  switch (o.mode) {
    case CliOptions::Mode::kUsage:
      out << UsageText();
      return kExitOk;
    case CliOptions::Mode::kList:
      out << MethodList(t);
      return kExitOk;
    case CliOptions::Mode::kMethodHelp: {
      if (o.method == "tag") {
        out << TagHelp();
        return kExitOk;
      }
      if (o.method == "reg" || o.method == "log") {
        out << (o.method == "reg" ? RegHelp() : LogHelp());
        return kExitOk;
      }
      if (o.method == "scheduler") {
        out << SchedulerHelp();
        return kExitOk;
      }
      if (o.method == "run") {
        out << RunHelp();
        return kExitOk;
      }
      const MethodInfo* m = FindMethodOrReport(t, o.method, err);
      if (!m) return kExitUsage;
      out << MethodHelp(t, *m);
      return kExitOk;
    }
    default:
      return kExitUsage;
  }
}

}  // namespace kv::cli
