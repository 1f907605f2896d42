#include "cli/cli_complete.h"

#include <cctype>
#include <string_view>

#include "cli/cli_args.h"
#include "protocol/method_info.h"

namespace kv::cli {

namespace {

bool StartsNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

std::vector<std::string> Matching(const std::vector<std::string>& all, std::string_view typed) {
  std::vector<std::string> out;
  for (const std::string& c : all)
    if (StartsNoCase(c, typed)) out.push_back(c);
  return out;
}

const std::vector<std::string> kOptions = {"--address", "--socket", "--bus",     "--app",  "--json",
                                           "--timeout", "--list",   "--help",    "--version"};
// Options whose value is the next word.
bool TakesValue(std::string_view w) {
  return w == "--address" || w == "--socket" || w == "--bus" || w == "--app" || w == "--timeout";
}

// The methods, then the subcommands (--help explains reg and log, not batch).
std::vector<std::string> Commands(const InterfaceTable& t, bool help) {
  std::vector<std::string> out;
  for (const MethodInfo& m : t.methods) out.push_back(m.name);
  if (!help) out.push_back("batch");
  out.insert(out.end(), {"reg", "log", "run", "scheduler", "tag"});
  return out;
}

std::vector<std::string> MethodArgument(const InterfaceTable& t, std::string_view method, size_t index,
                                        std::string_view typed) {
  const MethodInfo* m = t.ByDispId(t.DispIdByName(method));
  if (!m) return {};
  size_t k = 0;
  for (const ParamInfo& p : m->params) {
    if (p.dir == ParamDir::Retval) continue;
    if (k++ != index) continue;
    if (p.type == ParamType::Bool) return Matching({"true", "false"}, typed);
    if (p.type == ParamType::Dispatch) return Matching({"null"}, typed);
    if (!typed.empty()) return {};
    return {"<" + p.name + ":" + TypeName(p.type) + ">"};
  }
  return {};
}

}  // namespace

std::vector<std::string> CompletionCandidates(const std::vector<std::string>& words) {
  if (words.empty()) return {};
  const std::string& typed = words.back();
  const std::vector<std::string> before(words.begin(), words.end() - 1);
  bool app = false, help = false;
  size_t i = 0;
  for (; i < before.size(); ++i) {
    const std::string& w = before[i];
    if (w.empty() || w[0] != '-') break;
    if (w == "--app") app = true;
    if (w == "--help" || w == "-h") help = true;
    if (TakesValue(w)) ++i;  // its value
  }
  const InterfaceTable& t = app ? ICalcAppCommandsInterface() : ICalcCommandsInterface();
  if (i > before.size()) {  // the word typed is an option's value
    if (before.back() == "--bus") return Matching({"system", "session"}, typed);
    return {};
  }
  if (i == before.size()) {  // no command yet
    if (!typed.empty() && typed[0] == '-') return Matching(kOptions, typed);
    return Matching(Commands(t, help), typed);
  }
  if (help) return {};
  const std::string& command = before[i];
  const size_t index = before.size() - i - 1;  // of the word typed, after the command
  if (command == "batch") return {};
  if (command == "reg") {
    if (before.size() >= 1 && before.back() == "--type") return Matching({"string", "dword", "expand", "binary"}, typed);
    if (!typed.empty() && typed[0] == '-') return Matching({"--type"}, typed);
    if (index == 0) return Matching({"get", "set", "delete", "list"}, typed);
    if (index == 1) return Matching({"HKLM\\", "HKCU\\"}, typed);
    return {};
  }
  if (command == "tag") {
    if (index == 0) return Matching({"list", "get", "set", "history", "server", "spool", "forward", "delete"}, typed);
    return {};
  }
  if (command == "log") {
    if (before.back() == "--since" || before.back() == "--file") return {};
    return Matching({"--follow", "--since", "--file", "--path"}, typed);
  }
  return MethodArgument(t, command, index, typed);
}

}  // namespace kv::cli
