#include "client/cli_session.h"

#include <ostream>
#include <string>

#include "client/cli_args.h"
#include "client/cli_help.h"
#include "client/connection.h"

namespace kv::client {

using com::Variant;

namespace {

// A refusal from the server is a failed call; any other status means no working connection.
int ExitFor(const Status& st) { return st.code() == Status::Code::kRemote ? kExitFailure : kExitUsage; }

}  // namespace

Session::Session(const CliOptions& o) : opts_(o), table_(CommandTable(o)) {}

int Session::Open(std::ostream& out, std::ostream& err) {
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

int Session::Run(const MethodInfo& m, const std::vector<Variant>& args, CallReport* r) {
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

void Session::Close() {
  if (obj_) obj_->Release();
}

void PrintReport(const CallReport& r, bool json, std::ostream& out, std::ostream& errors) {
  if (json) {
    out << FormatReportJson(r) << "\n";
    return;
  }
  out << FormatReportText(r);
  if (std::string e = FormatReportError(r); !e.empty()) errors << e << "\n";
}

int RunOne(const CliOptions& o, std::ostream& out, std::ostream& err) {
  const InterfaceTable& t = CommandTable(o);
  const MethodInfo* m = FindMethodOrReport(t, o.method, err);
  if (!m) return kExitUsage;
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
  PrintReport(r, o.json, out, err);
  s.Close();
  return code;
}

}  // namespace kv::client
