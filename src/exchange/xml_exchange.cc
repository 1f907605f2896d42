// XML export and import of calculations, libraries and measurement types. The document around an
// object (its root element) is the command's; the content is the object's own XML form.
#include "base/error_codes.h"
#include "base/rights.h"
#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "components/units_components.h"
#include "exchange/calc_checks.h"
#include "exchange/import_target.h"
#include "exchange/xml_text.h"
#include "units/units_table.h"
#include "exchange/exchange_commands.h"
#include "store/store_commands.h"

namespace kv::exchange {

using com::HRESULT;
using components::IZrPersistXML;

namespace {

constexpr char kCalcRoot[] = "Calculation";
constexpr char kLibRoot[] = "Library";
constexpr char kUnitTypeRoot[] = "EngUnitType";

Bstr EmptyText() { return Bstr(std::u16string()); }

// Export steps 4 to 7 on `object` under `rootName`; "" and the step's error on failure.
Bstr ExportObject(CCalcCmdBase& cmd, com::IUnknown* object, const char* rootName) {
  auto persist = com::QueryInterface<IZrPersistXML>(object);
  if (!persist) {
    cmd.SetCommandError("Failed to query IZrPersistXML interface.", CMDERR_CATCH_ALL);
    return EmptyText();
  }
  Bstr xml;
  if (com::FAILED(persist->SaveXML(&xml))) {
    cmd.SetCommandError("IZrPersistXML::SaveXML failed.", CMDERR_CATCH_ALL);
    return EmptyText();
  }
  // The usual case, a form already under the root, is cut out of the string as it is.
  if (std::u16string text; exchange::TextIfRooted(xml.Wide(), rootName, &text)) return Bstr(std::move(text));
  const std::string utf8 = xml.ToUtf8();
  std::string text;
  if (!exchange::RerootedText(utf8, rootName, &text)) {
    cmd.SetCommandError("get_xml failed.", CMDERR_CATCH_ALL);
    return EmptyText();
  }
  return Bstr::FromUtf8(text);
}

// Import steps 1 to 5 into `object`: Done when it loaded, otherwise the step that failed (with the
// parse failure in *parsed). The document element goes to the object as it stands, except that
// with `ownRoot` it takes the name of the object's own form first: a measurement type's export
// root differs from its stored form's.
enum class ImportStep { Parse, Node, Persist, Load, Done };
ImportStep LoadInto(const Bstr& xml, com::IUnknown* object, exchange::ParsedXml* parsed, bool ownRoot = false) {
  exchange::ParseClientXml(xml, parsed);
  if (!parsed->ok) return ImportStep::Parse;
  pugi::xml_node root = parsed->doc.document_element();
  if (!root) return ImportStep::Node;
  auto persist = com::QueryInterface<IZrPersistXML>(object);
  if (!persist) return ImportStep::Persist;
  Bstr own;
  std::string ownName;
  if (ownRoot && com::SUCCEEDED(persist->SaveXML(&own))) ownName = exchange::RootNameOf(own.ToUtf8());
  HRESULT hr;
  if (!ownName.empty() && ownName != root.name()) {
    root.set_name(ownName.c_str());
    hr = persist->LoadXML(Bstr::FromUtf8(exchange::RawElementText(root)));
  } else {
    hr = persist->LoadXML(xml);
  }
  return com::SUCCEEDED(hr) ? ImportStep::Done : ImportStep::Load;
}

// The command error of a failed import step, null when every step succeeded; `nodeError` is the
// text for a document without its element.
const char* ImportFailure(ImportStep step, const char* nodeError) {
  switch (step) {
    case ImportStep::Parse: return "Error loading XML string.";
    case ImportStep::Node: return nodeError;
    case ImportStep::Persist: return "Error querying IZrPeresistXML interface.";
    case ImportStep::Load: return "Error executing LoadXML method.";
    case ImportStep::Done: break;
  }
  return nullptr;
}

}  // namespace

Bstr SaveCalcXML(CCalcCmdBase& cmd, const Bstr& calcName) {
  cmd.ResetLastError();
  ComPtr<IDispatch> calc = store::GetCalculationObject(cmd, calcName);
  if (!calc) {
    cmd.SetCommandError("Failed to get calculation object.", CMDERR_CATCH_ALL);
    return EmptyText();
  }
  return ExportObject(cmd, calc.Get(), kCalcRoot);
}

Bstr SaveLibXML(CCalcCmdBase& cmd, const Bstr& libName) {
  cmd.ResetLastError();
  ComPtr<IDispatch> lib = store::GetLibraryObject(cmd, libName);
  if (!lib) {
    cmd.SetCommandError("Failed to get library object.", CMDERR_CATCH_ALL);
    return EmptyText();
  }
  return ExportObject(cmd, lib.Get(), kLibRoot);
}

Bstr SaveUnitTypeXML(CCalcCmdBase& cmd, const Bstr& unitTypeName) {
  cmd.ResetLastError();
  // The type is changed in place by the units commands: read its form under their lock.
  platform::TrackedLock::Scope lock(UnitsLock(), kSiteUnitsCommand);
  ComPtr<components::IZrUnitType> type;
  if (units::FindType(unitTypeName, &type) != com::S_OK || !type) {
    cmd.SetCommandError("Failed to get unit type object.", CMDERR_CATCH_ALL);
    return EmptyText();
  }
  return ExportObject(cmd, type.Get(), kUnitTypeRoot);
}

Bstr ObjectToXml(CCalcCmdBase& cmd, IDispatch* object) { return ExportObject(cmd, object, kCalcRoot); }

long LoadCalcXML(CCalcCmdBase& cmd, const Bstr& xmlString, IDispatch* shared) {
  cmd.ResetLastError();
  ComPtr<IDispatch> target;
  if (!exchange::ImportTarget(cmd, shared, &target)) return 0;
  IDispatch* const calc = target.Get();
  exchange::ParsedXml parsed;
  if (const char* failure = ImportFailure(LoadInto(xmlString, calc, &parsed), "Error getting Calculation node.")) {
    cmd.SetCommandError(failure, CMDERR_CATCH_ALL);
    return 0;
  }
  auto calculation = com::QueryInterface<components::IZrCalculation>(calc);
  if (!calculation) {
    cmd.SetCommandError("Error querying IZrCalculation interface.", CMDERR_CATCH_ALL);
    return 0;
  }
  // A script that does not compile is kept, as the store keeps it, so that every export imports
  // again; the check leaves "Compile error" and its text on the object for its users to read.
  exchange::FormulaExists(calculation.Get());
  return store::SaveCalculationObject(cmd, calc) ? 1 : 0;
}

long LoadLibXML(CCalcCmdBase& cmd, const Bstr& xmlString, IDispatch* shared) {
  cmd.ResetLastError();
  ComPtr<IDispatch> target;
  if (!exchange::ImportTarget(cmd, shared, &target)) return 0;
  IDispatch* const lib = target.Get();
  exchange::ParsedXml parsed;
  if (const char* failure = ImportFailure(LoadInto(xmlString, lib, &parsed), "Error getting Library node.")) {
    cmd.SetCommandError(failure, CMDERR_CATCH_ALL);
    return 0;
  }
  return store::SaveLibraryObject(cmd, lib) ? 1 : 0;
}

long LoadUnitXML(CCalcCmdBase& cmd, const Bstr& xmlString, Variant* unitDisp) {
  cmd.ResetLastError();
  // The units table is shared by every client: changing it takes the units right everywhere.
  if (!cmd.CheckPermission(security::kRightUnits, CMDERR_DENIED_UNITS, CCalcCmdBase::StoreScope::Shared)) return 0;
  exchange::ParsedXml parsed;
  exchange::ParseClientXml(xmlString, &parsed);
  if (!parsed.ok) {
    cmd.SetCommandError("Error loading XML string.", CMDERR_CATCH_ALL);
    return 0;
  }
  if (!parsed.doc.document_element()) {
    cmd.SetCommandError("Error getting Unit Type node.", CMDERR_CATCH_ALL);
    return 0;
  }
  ComPtr<components::IZrUnitType> type;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrUnitType, &type))) {
    cmd.SetCommandError("Error creating Unit Type object.", CMDERR_CATCH_ALL);
    return 0;
  }
  switch (LoadInto(xmlString, type.Get(), &parsed, /*ownRoot=*/true)) {
    case ImportStep::Persist:
      cmd.SetCommandError("Error querying IZrPeresistXML interface.", CMDERR_CATCH_ALL);
      return 0;
    case ImportStep::Done:
      // AddUnit's checks: factors it refuses would give NaN or infinite conversions for good.
      if (units::IsUsableType(type.Get())) break;
      [[fallthrough]];
    default:
      cmd.SetCommandError("Error executing LoadXML method.", CMDERR_CATCH_ALL);
      return 0;
  }
  platform::TrackedLock::Scope lock(UnitsLock(), kSiteUnitsCommand);
  if (!g_pUnitConversionObject) {
    cmd.SetCommandError(CMDERR_UNIT_CONVERSION_NOT_FOUND);
    return 0;
  }
  Bstr name;
  type->GetName(&name);
  auto disp = com::QueryInterface<IDispatch>(type);
  if (unitDisp) *unitDisp = Variant::Dispatch(disp);
  if (com::FAILED(g_pUnitConversionObject->Add(name, disp.Get()))) {
    cmd.SetCommandError(CMDERR_MEASUREMENT_TYPE_EXISTS);
    return 0;
  }
  units::SaveUnitConversionObject();
  return 1;
}

Bstr LoadXmlIntoCalc(CCalcCmdBase& cmd, const Bstr& xml, IDispatch* calc) {
  exchange::ParsedXml parsed;
  switch (LoadInto(xml, calc, &parsed)) {
    case ImportStep::Parse:
      return Bstr::FromUtf8(exchange::ParseErrorReply(parsed));
    case ImportStep::Node:
      return Bstr::FromUtf8(exchange::ErrorReply("Error getting Calculation node"));
    case ImportStep::Persist:
      return Bstr::FromUtf8(exchange::ErrorReply("Error querying IZrPeresistXML interface"));
    case ImportStep::Load:
      return Bstr::FromUtf8(exchange::ErrorReply("Error executing LoadXML method"));
    case ImportStep::Done:
      break;
  }
  // A formula that does not compile is the run's own error: its run reports it in the results.
  if (!com::QueryInterface<components::IZrCalculation>(calc))
    return Bstr::FromUtf8(exchange::ErrorReply("Formula does not exist"));
  return Bstr::Null();
}

}  // namespace kv::exchange
