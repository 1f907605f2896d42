#include "client/cli.h"

#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>

#include "client/batch_line.h"
#include "client/cli_args.h"
#include "client/remote_object.h"
#include "client/result_format.h"

namespace kv::client {

using com::Variant;

namespace {

const InterfaceTable& TableFor(const CliOptions& o) { return o.app ? ICalcAppCommandsInterface() : ICalcCommandsInterface(); }

const MethodInfo* FindMethod(const InterfaceTable& t, std::string_view name) {
  return t.ByDispId(t.DispIdByName(name));
}

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

int ExitFor(const Status& st) { return st.code() == Status::Code::kRemote ? kExitFailure : kExitUsage; }

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
    case ParamType::Variant: return "empty means failure";
    case ParamType::Bstr: return "an empty string means failure";
    default: return "printed as it comes; it never counts as a failure";
  }
}

const char* TypeHelp(ParamType t) {
  switch (t) {
    case ParamType::Bstr: return "the word as given";
    case ParamType::Long: return "a decimal integer (32 bits)";
    case ParamType::Double: return "a finite number";
    case ParamType::Date: return "a day number or YYYY-MM-DD[ hh:mm[:ss]]";
    case ParamType::Bool: return "true, false, 1, 0 or -1";
    case ParamType::Dispatch: return "@NAME (an object kept in a batch) or null";
    case ParamType::Variant: return "a literal: 12, 2.5, true, \"text\", word, [a, b], null, @NAME";
  }
  return "";
}

std::string MethodHelp(const InterfaceTable& t, const MethodInfo& m) {
  std::ostringstream o;
  o << m.name << "  (" << t.name << ", DISPID " << t.DispIdByName(m.name) << ")\n";
  o << "  usage: kelvarin-cli " << m.name;
  int optional = 0;
  size_t lastIn = 0, n = 0;
  for (const ParamInfo& p : m.params) {
    if (p.dir == ParamDir::Retval) continue;
    ++n;
    if (p.dir == ParamDir::In) lastIn = n;
  }
  n = 0;
  for (const ParamInfo& p : m.params) {
    if (p.dir == ParamDir::Retval) continue;
    if (++n > lastIn) {
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
  return o.str();
}

// One command object on one connection, with the values a batch keeps.
class Session {
 public:
  explicit Session(const CliOptions& o) : opts_(o), table_(TableFor(o)) {}

  // Connects, creates the object and, with --app, sets its base directory. Prints what went
  // wrong; returns the exit status on failure, or -1 when ready.
  int Open(std::ostream& out, std::ostream& err) {
    std::shared_ptr<Connection> conn;
    Status st = opts_.useBus ? Connection::OpenBus(opts_.bus, &conn)
                             : Connection::Open(opts_.address.empty() ? Connection::DefaultAddress() : opts_.address, &conn);
    if (st.ok()) {
      conn->SetCallTimeout(opts_.timeoutUsec);
      st = conn->CreateInstance(table_.progId, &obj_);
    }
    if (!st.ok()) {
      err << "kelvarin-cli: " << st.ToString() << "\n";
      if (!opts_.useBus && opts_.address.empty())
        err << "kelvarin-cli: is the server running? (the address can be given with --address or $KELVARIN_SOCKET)\n";
      return kExitUsage;
    }
    if (opts_.app) {
      CallReport r;
      int code = Run(*FindMethod(table_, "SetBaseDirectory"), {Variant::Str(opts_.appName)}, &r);
      if (code != kExitOk) {
        if (opts_.json) out << FormatReportJson(r) << "\n";
        else err << "kelvarin-cli: SetBaseDirectory " << opts_.appName << " failed: " << FormatReportError(r) << "\n";
        return code;
      }
    }
    return -1;
  }

  // Calls one method and fills the report; returns the call's exit status.
  int Run(const MethodInfo& m, const std::vector<Variant>& args, CallReport* r) {
    r->method = m.name;
    r->hasResult = m.RetvalIndex() >= 0;
    CallResult res;
    Status st = obj_->Call(m.name, args, &res);
    if (!st.ok()) {
      r->callError = st.ToString();
      return ExitFor(st);
    }
    size_t k = 0;
    for (const ParamInfo& p : m.params)
      if (p.dir == ParamDir::InOut && k < res.outArgs.size()) r->outs.emplace_back(p.name, res.outArgs[k++]);
    r->result = std::move(res.result);
    r->failed = IsFailureResult(m, r->result);
    if (!r->failed) return kExitOk;
    CallResult e;
    if (obj_->Call("GetLastCommandError", {Variant::I4(0)}, &e).ok() && e.outArgs.size() == 1) {
      Variant code;
      if (com::SUCCEEDED(com::ChangeType(e.outArgs[0], com::VT_I4, &code)))
        r->lastError.emplace(code.i4(), e.result.Deref().vt() == com::VT_BSTR ? e.result.Deref().bstr().ToUtf8() : "");
    }
    return kExitFailure;
  }

  void Close() {
    if (obj_) obj_->Release();
  }

  const InterfaceTable& table() const { return table_; }

 private:
  const CliOptions& opts_;
  const InterfaceTable& table_;
  std::shared_ptr<RemoteObject> obj_;
};

int RunOne(const CliOptions& o, std::ostream& out, std::ostream& err) {
  const InterfaceTable& t = TableFor(o);
  const MethodInfo* m = FindMethod(t, o.method);
  if (!m) {
    err << "kelvarin-cli: " << t.name << " has no method " << o.method << " (see --list)\n";
    return kExitUsage;
  }
  std::vector<Variant> args;
  std::string why;
  if (!ParseArguments(*m, o.args, {}, &args, &why)) {
    err << "kelvarin-cli: " << why << "\n" << MethodHelp(t, *m);
    return kExitUsage;
  }
  Session s(o);
  if (int code = s.Open(out, err); code >= 0) return code;
  CallReport r;
  int code = s.Run(*m, args, &r);
  if (o.json) {
    out << FormatReportJson(r) << "\n";
  } else {
    out << FormatReportText(r);
    if (std::string e = FormatReportError(r); !e.empty()) err << e << "\n";
  }
  s.Close();
  return code;
}

struct PlannedLine {
  int number;
  std::string text;
  BatchLine line;
  const MethodInfo* method;
};

int RunBatch(const CliOptions& o, std::istream& in, std::ostream& out, std::ostream& err) {
  std::ifstream file;
  std::istream* src = &in;
  std::string label = o.batchFile == "-" ? "<stdin>" : o.batchFile;
  if (o.batchFile != "-") {
    file.open(o.batchFile);
    if (!file) {
      err << "kelvarin-cli: cannot read " << o.batchFile << "\n";
      return kExitUsage;
    }
    src = &file;
  }
  // Every line is checked before anything runs, so a typo never leaves a batch half done.
  const InterfaceTable& t = TableFor(o);
  std::vector<PlannedLine> plan;
  NamedValues kept;
  bool bad = false;
  std::string text;
  for (int number = 1; std::getline(*src, text); ++number) {
    PlannedLine p{number, text, {}, nullptr};
    std::string why;
    std::vector<Variant> ignored;
    if (ParseBatchLine(text, &p.line, &why)) {
      if (p.line.method.empty()) continue;
      p.method = FindMethod(t, p.line.method);
      if (!p.method)
        why = t.name + " has no method " + p.line.method;
      else if (!p.line.name.empty() && p.method->RetvalIndex() < 0)
        why = p.method->name + " has no result to keep as " + p.line.name;
      else if (ParseArguments(*p.method, p.line.args, kept, &ignored, &why))
        why.clear();
    }
    if (!why.empty()) {
      err << label << ":" << number << ": " << why << "\n";
      bad = true;
      continue;
    }
    if (!p.line.name.empty()) kept[p.line.name] = Variant();
    plan.push_back(std::move(p));
  }
  if (bad) return kExitUsage;

  Session s(o);
  if (int code = s.Open(out, err); code >= 0) return code;
  kept.clear();
  int worst = kExitOk;
  for (const PlannedLine& p : plan) {
    std::vector<Variant> args;
    std::string why;
    if (!ParseArguments(*p.method, p.line.args, kept, &args, &why)) {
      err << label << ":" << p.number << ": " << why << "\n";
      worst = kExitUsage;
      break;
    }
    CallReport r;
    r.line = p.number;
    r.name = p.line.name;
    int code = s.Run(*p.method, args, &r);
    if (!p.line.name.empty() && r.callError.empty()) kept[p.line.name] = r.result;
    if (o.json) {
      out << FormatReportJson(r) << "\n";
    } else {
      out << "> " << p.text << "\n" << FormatReportText(r);
      if (std::string e = FormatReportError(r); !e.empty()) out << e << "\n";
    }
    worst = std::max(worst, code);
    if (code == kExitUsage) break;  // the connection is gone or the call could not be made
  }
  s.Close();
  return worst;
}

}  // namespace

std::string UsageText() {
  return R"(usage: kelvarin-cli [OPTIONS] METHOD [ARG ...]
       kelvarin-cli [OPTIONS] batch FILE|-
       kelvarin-cli [--app NAME] --list
       kelvarin-cli [--app NAME] --help [METHOD]

Calls one command of the kelvarin calculation server on a new command object
(Kelvarin.CalcCommands) and prints what it answered.

Options (before METHOD):
  --address ADDR   D-Bus address of the server (default: unix:path=$KELVARIN_SOCKET,
                   else $XDG_RUNTIME_DIR/kelvarin/bus, else /run/kelvarin/bus)
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

Arguments are the method's in and in/out parameters in order (see --help METHOD);
in/out parameters at the end may be left out. Words are read by the parameter type:
  string  as given               long    decimal integer (32 bits)
  double  finite number          bool    true, false, 1, 0, -1
  date    OLE day number, or YYYY-MM-DD[ hh:mm[:ss]]
  object  @NAME (kept earlier in a batch), or null
  variant 12 -> VT_I4, 2.5 -> VT_R8, true/false -> VT_BOOL, "text" or a bare word ->
          VT_BSTR, [a, b, ...] -> array, null or nothing -> VT_EMPTY, @NAME -> kept value
Method names are matched without regard to case. Everything after METHOD is an
argument, so negative numbers need no "--".

Output: the result (True/False, text, numbers, dates as YYYY-MM-DD hh:mm:ss, objects as
their path; a list one element per line), then "NAME: value" for each in/out parameter.
A result meaning failure (False, no object, empty, or an empty string from a method that
returns a string) makes kelvarin-cli ask GetLastCommandError on the same object and print
"error CODE: TEXT" (to standard error; in a batch, in line).

Batch: "batch FILE" (or "-" for standard input) runs every line on ONE connection and
ONE command object, in order. A line is
  [NAME =] METHOD [ARG ...]
NAME = keeps the result (typically an object) for later arguments written @NAME.
Blank lines and lines starting with # are skipped. "..." quotes a word with blanks
(\" and \\ inside), '...' quotes verbatim, "" is an empty word. Every line is checked
before the first call; output shows each line as "> line" followed by its result.
Example:
  calc = GetCalculationObject "Boiler feed"
  CalcExecute @calc
  GetObjectProperties @calc '["Status", "ErrorText"]'

Exit status: 0 when every result means success, 1 when a result means failure or the
server refused a call, 2 for a bad command line or batch, or no working connection.
)";
}

bool ParseCliOptions(const std::vector<std::string>& argv, CliOptions* out, std::string* error) {
  CliOptions o;
  bool list = false, help = false, haveAddress = false;
  size_t i = 0;
  auto value = [&](const std::string& opt, std::string* v) {
    std::string_view a = argv[i];
    if (a.size() > opt.size() && a.substr(0, opt.size()) == opt && a[opt.size()] == '=') {
      *v = std::string(a.substr(opt.size() + 1));
      return true;
    }
    if (i + 1 >= argv.size()) return false;
    *v = argv[++i];
    return true;
  };
  auto is = [&](const std::string& opt) {
    std::string_view a = argv[i];
    return a == opt || (a.size() > opt.size() && a.substr(0, opt.size()) == opt && a[opt.size()] == '=');
  };
  for (; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    std::string v;
    if (a == "--") {
      ++i;
      break;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--list") {
      list = true;
    } else if (a == "--help" || a == "-h") {
      help = true;
    } else if (is("--address") || is("--socket")) {
      bool socket = is("--socket");
      if (!value(socket ? "--socket" : "--address", &v) || v.empty()) return Fail(error, a + " needs a value");
      if (haveAddress) return Fail(error, "give only one of --address and --socket");
      haveAddress = true;
      o.address = socket ? Connection::UnixAddress(v) : v;
    } else if (is("--bus")) {
      if (!value("--bus", &v)) return Fail(error, "--bus needs system or session");
      if (v == "system") o.bus = Connection::Bus::kSystem;
      else if (v == "session") o.bus = Connection::Bus::kSession;
      else return Fail(error, "--bus takes system or session, not \"" + v + "\"");
      o.useBus = true;
    } else if (is("--app")) {
      if (!value("--app", &v)) return Fail(error, "--app needs a name");
      o.app = true;
      o.appName = v;
    } else if (is("--timeout")) {
      double sec;
      std::string why;
      if (!value("--timeout", &v) || !ParseDouble(v, &sec, &why) || sec <= 0 || sec > 1e9)
        return Fail(error, "--timeout needs a positive number of seconds");
      o.timeoutUsec = static_cast<uint64_t>(sec * 1e6);
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail(error, "unknown option " + a);
    } else {
      break;
    }
  }
  if (haveAddress && o.useBus) return Fail(error, "give either an address or --bus, not both");
  std::vector<std::string> rest(argv.begin() + static_cast<std::ptrdiff_t>(std::min(i, argv.size())), argv.end());
  if (help) {
    if (rest.size() > 1) return Fail(error, "--help takes at most one method name");
    o.mode = rest.empty() ? CliOptions::Mode::kUsage : CliOptions::Mode::kMethodHelp;
    if (!rest.empty()) o.method = rest[0];
  } else if (list) {
    if (!rest.empty()) return Fail(error, "--list takes no arguments");
    o.mode = CliOptions::Mode::kList;
  } else if (rest.empty()) {
    return Fail(error, "a METHOD is missing");
  } else if (rest[0] == "batch") {
    if (rest.size() != 2) return Fail(error, "batch needs exactly one FILE (or - for standard input)");
    o.mode = CliOptions::Mode::kBatch;
    o.batchFile = rest[1];
  } else {
    o.mode = CliOptions::Mode::kCall;
    o.method = rest[0];
    o.args.assign(rest.begin() + 1, rest.end());
  }
  *out = std::move(o);
  return true;
}

int RunCli(const std::vector<std::string>& argv, std::istream& in, std::ostream& out, std::ostream& err) {
  CliOptions o;
  std::string why;
  if (!ParseCliOptions(argv, &o, &why)) {
    err << "kelvarin-cli: " << why << "\n(kelvarin-cli --help explains the command line)\n";
    return kExitUsage;
  }
  const InterfaceTable& t = TableFor(o);
  switch (o.mode) {
    case CliOptions::Mode::kUsage:
      out << UsageText();
      return kExitOk;
    case CliOptions::Mode::kList:
      for (const MethodInfo& m : t.methods) out << Signature(m) << "\n";
      return kExitOk;
    case CliOptions::Mode::kMethodHelp: {
      const MethodInfo* m = FindMethod(t, o.method);
      if (!m) {
        err << "kelvarin-cli: " << t.name << " has no method " << o.method << " (see --list)\n";
        return kExitUsage;
      }
      out << MethodHelp(t, *m);
      return kExitOk;
    }
    case CliOptions::Mode::kBatch:
      return RunBatch(o, in, out, err);
    case CliOptions::Mode::kCall:
      return RunOne(o, out, err);
  }
  return kExitUsage;
}

}  // namespace kv::client
