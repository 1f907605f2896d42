// Which command each table entry reaches, with its arguments: one line per command.
#include <string_view>
#include <unordered_map>

#include "commands/command_call.h"

namespace kv {
namespace {

// ---- Lifecycle, edit copies, folders: the owner parts travel in args 1..3 ----
template <class Target>
void OwnerParts(CommandCall& c, Target target,
                bool (CCalcCmdBase::*command)(Target, Bstr*, Bstr*, Bstr*)) {
  Bstr parts[3] = {c.Str(1), c.Str(2), c.Str(3)};
  c.SetBool((c.cmd.*command)(target, &parts[0], &parts[1], &parts[2]));
  for (size_t i = 0; i < 3; ++i) c.args[i + 1] = Variant::Str(std::move(parts[i]));
}

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
      // ---- Lifecycle, edit copies, folders ----
      {"CreateCalculationObject",
       [](CommandCall& c) { c.SetObject(c.cmd.CreateCalculationObject(c.Str(0), c.Str(1), c.Str(2))); }},
      {"CreateLibraryObject",
       [](CommandCall& c) { c.SetObject(c.cmd.CreateLibraryObject(c.Str(0), c.Str(1), c.Str(2))); }},
      {"SaveCalculationObject", [](CommandCall& c) { c.SetBool(c.cmd.SaveCalculationObject(c.Disp(0))); }},
      {"SaveCalculationObjectAs",
       [](CommandCall& c) { c.SetBool(c.cmd.SaveCalculationObjectAs(c.Disp(0), c.Str(1), c.Bool(2))); }},
      {"SaveLibraryObject", [](CommandCall& c) { c.SetBool(c.cmd.SaveLibraryObject(c.Disp(0))); }},
      {"SaveLibraryObjectAs",
       [](CommandCall& c) { c.SetBool(c.cmd.SaveLibraryObjectAs(c.Disp(0), c.Str(1), c.Bool(2))); }},
      {"SaveLibraryFormula", [](CommandCall& c) { c.SetBool(c.cmd.SaveLibraryFormula(c.Disp(0), c.Str(1))); }},
      {"DeleteCalculationObject",
       [](CommandCall& c) { c.SetBool(c.cmd.DeleteCalculationObject(c.Str(0), c.Str(1), c.Str(2))); }},
      {"DeleteLibraryObject",
       [](CommandCall& c) { c.SetBool(c.cmd.DeleteLibraryObject(c.Str(0), c.Str(1), c.Str(2))); }},
      {"SetObjectPassword",
       [](CommandCall& c) { c.SetBool(c.cmd.SetObjectPassword(c.Disp(0), c.Str(1), c.Str(2), c.Str(3), c.Str(4))); }},
      {"GetObjectProperties",
       [](CommandCall& c) { c.result = c.cmd.GetObjectProperties(c.Disp(0), c.Var(1), &c.Var(2)); }},
      {"SetObjectProperties",
       [](CommandCall& c) { c.result = c.cmd.SetObjectProperties(c.Disp(0), c.Var(1), c.Var(2)); }},
      {"AttachLibrary", [](CommandCall& c) { c.SetBool(c.cmd.AttachLibrary(c.Disp(0), c.Str(1))); }},
      {"CreateCalculationEditObject",
       [](CommandCall& c) {
         c.SetObject(c.cmd.CreateCalculationEditObject(c.Str(0), c.Str(1), c.Str(2), c.Str(3), c.Str(4)));
       }},
      {"CreateLibraryEditObject",
       [](CommandCall& c) {
         c.SetObject(c.cmd.CreateLibraryEditObject(c.Str(0), c.Str(1), c.Str(2), c.Str(3), c.Str(4)));
       }},
      {"GetCalculationEditObject",
       [](CommandCall& c) { c.SetObject(c.cmd.GetCalculationEditObject(c.Str(0), c.Str(1), c.Str(2))); }},
      {"GetLibraryEditObject",
       [](CommandCall& c) { c.SetObject(c.cmd.GetLibraryEditObject(c.Str(0), c.Str(1), c.Str(2))); }},
      {"SaveCalculationEditObject", [](CommandCall& c) { c.SetBool(c.cmd.SaveCalculationEditObject(c.Disp(0))); }},
      {"SaveLibraryEditObject", [](CommandCall& c) { c.SetBool(c.cmd.SaveLibraryEditObject(c.Disp(0))); }},
      {"DeleteCalculationEditObject", [](CommandCall& c) { c.SetBool(c.cmd.DeleteCalculationEditObject(c.Str(0))); }},
      {"DeleteLibraryEditObject", [](CommandCall& c) { c.SetBool(c.cmd.DeleteLibraryEditObject(c.Str(0))); }},
      {"CancelEdit", [](CommandCall& c) { c.SetBool(c.cmd.CancelEdit(c.Disp(0))); }},
      {"GetEditOwner", [](CommandCall& c) { OwnerParts<IDispatch*>(c, c.Disp(0), &CCalcCmdBase::GetEditOwner); }},
      {"GetCalculationEditOwner",
       [](CommandCall& c) { OwnerParts<const Bstr&>(c, c.Str(0), &CCalcCmdBase::GetCalculationEditOwner); }},
      {"GetLibraryEditOwner",
       [](CommandCall& c) { OwnerParts<const Bstr&>(c, c.Str(0), &CCalcCmdBase::GetLibraryEditOwner); }},
      {"CreateCalcFolder", [](CommandCall& c) { c.SetBool(c.cmd.CreateCalcFolder(c.Str(0))); }},
      {"DeleteCalcFolder", [](CommandCall& c) { c.SetBool(c.cmd.DeleteCalcFolder(c.Str(0))); }},
      {"RenameCalcFolder", [](CommandCall& c) { c.SetBool(c.cmd.RenameCalcFolder(c.Str(0), c.Str(1))); }},
      // ---- end of lifecycle, edit copies, folders ----
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
