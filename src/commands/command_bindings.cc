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
      // ---- Schedule run times and units ----
      {"ComputeNewRunTime",
       [](CommandCall& c) {
         double t = c.Double(1);
         c.SetBool(c.cmd.ComputeNewRunTime(c.Str(0), &t));
         c.args[1] = Variant::Date(t);
       }},
      {"ComputeNextStartTime",
       [](CommandCall& c) {
         c.result = Variant::Date(c.cmd.ComputeNextStartTime(c.Double(0), c.Double(1), c.Long(2), c.Long(3)));
       }},
      {"SetComputedRunTime", [](CommandCall& c) { c.SetBool(c.cmd.SetComputedRunTime(c.Str(0), c.Double(1))); }},
      {"GetScheduleExecutionTime",
       [](CommandCall& c) {
         long ms = c.Long(1);
         c.SetBool(c.cmd.GetScheduleExecutionTime(c.Str(0), &ms));
         c.args[1] = Variant::I4(static_cast<int32_t>(ms));
       }},
      {"GetServerGmtOffset", [](CommandCall& c) { c.result = Variant::Date(c.cmd.GetServerGmtOffset(c.Double(0))); }},
      {"GetUnitConversionObject", [](CommandCall& c) { c.SetObject(c.cmd.GetUnitConversionObject()); }},
      {"GetMeasurementTypesList", [](CommandCall& c) { c.cmd.GetMeasurementTypesList(&c.result); }},
      {"GetUnitsList", [](CommandCall& c) { c.cmd.GetUnitsList(c.Str(0), &c.result); }},
      {"GetConversion",
       [](CommandCall& c) {
         double multiplier = c.Double(3), offset = c.Double(4);
         c.SetBool(c.cmd.GetConversion(c.Str(0), c.Str(1), c.Str(2), &multiplier, &offset));
         c.args[3] = Variant::R8(multiplier);
         c.args[4] = Variant::R8(offset);
       }},
      {"AddMeasurementType", [](CommandCall& c) { c.SetBool(c.cmd.AddMeasurementType(c.Str(0), c.Str(1), c.Str(2))); }},
      {"AddUnit",
       [](CommandCall& c) { c.SetBool(c.cmd.AddUnit(c.Str(0), c.Str(1), c.Str(2), c.Double(3), c.Double(4))); }},
      {"LookupMeasurementType", [](CommandCall& c) { c.cmd.LookupMeasurementType(c.Str(0), &c.result); }},
      {"DeleteMeasurementType", [](CommandCall& c) { c.SetBool(c.cmd.DeleteMeasurementType(c.Str(0), c.Bool(1))); }},
      {"DeleteUnit", [](CommandCall& c) { c.SetBool(c.cmd.DeleteUnit(c.Str(0), c.Str(1))); }},
      {"GetMeasurementType", [](CommandCall& c) { c.SetObject(c.cmd.GetMeasurementType(c.Str(0))); }},
      {"GetUnit", [](CommandCall& c) { c.SetObject(c.cmd.GetUnit(c.Str(0), c.Str(1))); }},
      {"GetMeasurementTypeInfo",
       [](CommandCall& c) {
         Bstr description = c.Str(1), standardUnits = c.Str(2);
         c.SetBool(c.cmd.GetMeasurementTypeInfo(c.Str(0), &description, &standardUnits));
         c.args[1] = Variant::Str(std::move(description));
         c.args[2] = Variant::Str(std::move(standardUnits));
       }},
      {"UpdateMeasurementTypeInfo",
       [](CommandCall& c) {
         const Bstr description = c.Str(1), standardUnits = c.Str(2);
         c.SetBool(c.cmd.UpdateMeasurementTypeInfo(c.Str(0), &description, &standardUnits));
       }},
      {"GetUnitInfo",
       [](CommandCall& c) {
         Bstr description = c.Str(2);
         double multiplier = c.Double(3), offset = c.Double(4);
         c.SetBool(c.cmd.GetUnitInfo(c.Str(0), c.Str(1), &description, &multiplier, &offset));
         c.args[2] = Variant::Str(std::move(description));
         c.args[3] = Variant::R8(multiplier);
         c.args[4] = Variant::R8(offset);
       }},
      {"UpdateUnitInfo",
       [](CommandCall& c) {
         const Bstr description = c.Str(2);
         c.SetBool(c.cmd.UpdateUnitInfo(c.Str(0), c.Str(1), &description, c.Double(3), c.Double(4)));
       }},
  };
  return bindings;
}

}  // namespace

CommandBinding FindCommandBinding(std::string_view command) {
  auto it = Bindings().find(command);
  return it == Bindings().end() ? nullptr : it->second;
}

}  // namespace kv
