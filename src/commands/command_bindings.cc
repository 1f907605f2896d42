// Which command each table entry reaches, with its arguments: one line per command.
#include <string_view>
#include <unordered_map>

#include "commands/command_call.h"

namespace kv {
namespace {

const std::unordered_map<std::string_view, CommandBinding>& Bindings() {
  static const std::unordered_map<std::string_view, CommandBinding> bindings = {
      {"CheckAccess", [](CommandCall& c) { c.SetBool(c.cmd.CheckAccess(c.Long(0))); }},
      {"CalcCommandVersion", [](CommandCall& c) { c.SetString(c.cmd.CalcCommandVersion()); }},
      {"GetLastCommandError",
       [](CommandCall& c) {
         long code = 0;
         Bstr text = c.cmd.GetLastCommandError(&code);
         if (c.spec.params.size() > 1) c.args[0] = Variant::I4(static_cast<int32_t>(code));
         c.SetString(std::move(text));
       }},
      {"GetCalculationList", [](CommandCall& c) { c.cmd.GetCalculationList(&c.result); }},
      {"GetLibraryList", [](CommandCall& c) { c.cmd.GetLibraryList(&c.result); }},
      {"GetFormulaList", [](CommandCall& c) { c.cmd.GetFormulaList(c.Disp(0), &c.result); }},
      {"GetCalculationObject", [](CommandCall& c) { c.SetObject(c.cmd.GetCalculationObject(c.Str(0))); }},
      {"GetLibraryObject", [](CommandCall& c) { c.SetObject(c.cmd.GetLibraryObject(c.Str(0))); }},
      {"GetCalculationSummary", [](CommandCall& c) { c.cmd.GetCalculationSummary(&c.result); }},
  };
  return bindings;
}

}  // namespace

CommandBinding FindCommandBinding(std::string_view command) {
  auto it = Bindings().find(command);
  return it == Bindings().end() ? nullptr : it->second;
}

}  // namespace kv
