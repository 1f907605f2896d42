#pragma once
// Objects to and from text: object strings and the XML exchange of calculations, libraries and
// unit types. Each command takes the command object it runs on (command_object/calc_cmd_base.h).
#include <string>
#include <vector>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "command_object/calc_cmd_base.h"

namespace kv::exchange {

// The object-string commands ask no right and clear no error.
//
// No component library is ever loaded on demand here, so there is nothing to unload.
inline void FreeUnusedComLibraries(CCalcCmdBase&) {}
// The object as an object string (com/object_stream.h): its class and its XML form. An object
// without XML persistence or a registered class gives the VARTYPE alone; null gives a null
// string.
Bstr ObjecttoBSTR(CCalcCmdBase& cmd, IDispatch* object);
// A new object of the string's class loaded from its data; null when the string holds no
// object, names an unknown class or the data does not load.
ComPtr<IDispatch> BSTRtoObject(CCalcCmdBase& cmd, const Bstr& binaryObject);
// BSTRtoObject of a VT_BSTR (or a reference to one); null for any other type.
ComPtr<IDispatch> VarBSTRtoObject(CCalcCmdBase& cmd, const Variant& binaryObject);
// ---- XML exchange ---------------------------------------------------------------------
// Each clears the last error; every failure is CMDERR_CATCH_ALL with the step's own text.
// The export's root element is "Calculation", "Library" or "EngUnitType" holding the object's
// own content; the empty string on failure.
Bstr SaveCalcXML(CCalcCmdBase& cmd, const Bstr& calcName);
Bstr SaveLibXML(CCalcCmdBase& cmd, const Bstr& libName);
Bstr SaveUnitTypeXML(CCalcCmdBase& cmd, const Bstr& unitTypeName);
// Loads the text into the given object and stores it (SaveCalculationObject /
// SaveLibraryObject, with their rights and errors): 1 when stored, 0 otherwise. An object held
// for every client is not loaded in place: its rights are asked first (exchange/import_target.h),
// and a copy is loaded and stored.
long LoadCalcXML(CCalcCmdBase& cmd, const Bstr& xmlString, IDispatch* calc);
long LoadLibXML(CCalcCmdBase& cmd, const Bstr& xmlString, IDispatch* lib);
// A new measurement type loaded from the text, handed out in *unitDisp and added to the units
// table (saved) under UnitsLock (kSiteUnitsCommand): 1 when added.
long LoadUnitXML(CCalcCmdBase& cmd, const Bstr& xmlString, Variant* unitDisp);
// The import steps without storing: a null string on success, otherwise an ERROR element text.
Bstr LoadXmlIntoCalc(CCalcCmdBase& cmd, const Bstr& xml, IDispatch* calc);
// The export of a given object under the root "Calculation" (errors as the export's).
Bstr ObjectToXml(CCalcCmdBase& cmd, IDispatch* object);

}  // namespace kv::exchange
