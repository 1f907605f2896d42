#include "cli/cli_session.h"

#include <ostream>
#include <string>

#include "cli/cli_args.h"
#include "cli/cli_help.h"
#include "client/connection.h"

namespace kv::cli {

using client::Answer;
using client::CallReport;
using client::CallResult;
using client::Connection;
using client::FormatReportError;
using client::FormatReportJson;
using client::FormatReportText;
using client::IsFailureResult;
using client::JudgeAnswer;
using client::KeepsPreviousError;
using client::Status;
using com::Variant;

namespace {

// A refusal from the server is a failed call; any other status means no working connection.
int ExitFor(const Status& st) { return st.code() == Status::Code::kRemote ? kExitFailure : kExitUsage; }

bool HoldsObject(const CallReport& r) {
  auto isObject = [](const Variant& v) {
    const Variant& d = v.Deref();
    return (d.vt() == com::VT_DISPATCH || d.vt() == com::VT_UNKNOWN) && d.unknown();
  };
  if (isObject(r.result)) return true;
  for (const auto& out : r.outs)
    if (isObject(out.second)) return true;
  return false;
}

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

std::optional<std::pair<int32_t, std::string>> Session::LastError() {
  CallResult e;
  if (!obj_->Call("GetLastCommandError", {Variant::I4(0)}, &e).ok() || e.outArgs.size() != 1) return std::nullopt;
  Variant code;
  if (!com::SUCCEEDED(com::ChangeType(e.outArgs[0], com::VT_I4, &code))) return std::nullopt;
  return std::make_pair(code.i4(), e.result.Deref().vt() == com::VT_BSTR ? e.result.Deref().bstr().ToUtf8() : "");
}

int Session::Run(const MethodInfo& m, const std::vector<Variant>& args, CallReport* r) {
  r->method = m.name;
  r->info = &m;
  r->hasResult = m.RetvalIndex() >= 0;
  // Rows that keep the previous error need it from before the call to tell their own apart;
  // only an empty list or string is judged by the error.
  int32_t before = 0;
  if (r->hasResult && KeepsPreviousError(m)) {
    ParamType t = m.params[static_cast<size_t>(m.RetvalIndex())].type;
    if (t == ParamType::Variant || t == ParamType::Bstr)
      if (auto e = LastError()) before = e->first;
  }
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
  if (!IsFailureResult(m, r->result)) return kExitOk;
  r->lastError = LastError();
  switch (JudgeAnswer(m, r->result, r->lastError ? std::optional<int32_t>(r->lastError->first) : std::nullopt, before)) {
    case Answer::kSuccess: return kExitOk;
    case Answer::kEmpty: r->empty = true; return kExitOk;
    case Answer::kFailure: r->failed = true; return kExitFailure;
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
  if (code == kExitOk && ReturnsObject(*m) && HoldsObject(r))
    err << OneShotObjectNote(*m, o.args.empty() ? "" : o.args[0]);
  s.Close();
  return code;
}

}  // namespace kv::cli
