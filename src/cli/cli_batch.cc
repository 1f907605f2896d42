#include "cli/cli_batch.h"

#include <algorithm>
#include <fstream>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/batch_line.h"
#include "cli/cli_args.h"
#include "cli/cli_help.h"
#include "cli/cli_session.h"

namespace kv::cli {

using com::Variant;

namespace {

struct PlannedLine {
  int number;
  std::string text;
  BatchLine line;
  const MethodInfo* method;
};

// Every line is checked before anything runs, so a typo never leaves a batch half done. Tells
// each bad line on `err`; false when there was one.
bool PlanBatch(std::istream& src, const std::string& label, const InterfaceTable& t, std::ostream& err,
               std::vector<PlannedLine>* plan) {
  NamedValues kept;
  bool bad = false;
  std::string text;
  for (int number = 1; std::getline(src, text); ++number) {
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
    // Only the name is known yet, which is enough to check later @NAME arguments.
    if (!p.line.name.empty()) kept[p.line.name] = Variant();
    plan->push_back(std::move(p));
  }
  return !bad;
}

}  // namespace

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
  std::vector<PlannedLine> plan;
  if (!PlanBatch(*src, label, CommandTable(o), err, &plan)) return kExitUsage;

  Session s(o);
  if (int code = s.Open(out, err); code >= 0) return code;
  NamedValues kept;
  int worst = kExitOk;
  for (const PlannedLine& p : plan) {
    std::vector<Variant> args;
    std::string why;
    if (!ParseArguments(*p.method, p.line.args, kept, &args, &why)) {
      err << label << ":" << p.number << ": " << why << "\n";
      worst = kExitUsage;
      break;
    }
    client::CallReport r;
    r.line = p.number;
    r.name = p.line.name;
    int code = s.Run(*p.method, args, &r);
    // A failed call keeps an empty value, so a later "@NAME" gives null or "" rather than
    // falling back to the literal word.
    if (!p.line.name.empty()) kept[p.line.name] = r.callError.empty() ? r.result : Variant();
    if (!o.json) out << "> " << p.text << "\n";
    PrintReport(r, o.json, out, out);
    worst = std::max(worst, code);
    if (code == kExitUsage) break;  // the connection is gone or the call could not be made
  }
  s.Close();
  return worst;
}

}  // namespace kv::cli
