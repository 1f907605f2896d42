#include "base/error_codes.h"

namespace kv {
namespace {

struct ErrorEntry {
  long code;
  const char* text;
};

constexpr ErrorEntry kErrorTable[] = {
    {CMDERR_INVALID_PASSWORD, "Invalid password"},
    {CMDERR_CDB_FIELD_ACCESS, "Error Reading/Writing CDB Field,"},
    {CMDERR_INVALID_LIBRARY_NAME, "Invalid Library Name."},
    {CMDERR_INVALID_CALCULATION_NAME, "Invalid Calculation Name"},
    {CMDERR_GET_CALCULATION_OBJECT, "Error Getting Calculation Object"},
    {CMDERR_ALREADY_BEING_EDITED, "Object Already Being Edited."},
    {CMDERR_LOAD_FROM_FILE, "Failed to load object from file.\nSee file MorvaneCalcMessageLog.txt for details."},
    {CMDERR_DELETE_EDIT_FILE, "Error Deleting Edit File"},
    {CMDERR_EDITED_BY_OTHER_USER, "The Object is being edited by another user."},
    {CMDERR_NAME_EXISTS, "An Object of that name already exists."},
    {CMDERR_SAVE_EDIT_OBJECT, "Error Saving Edit Object.\nSee file MorvaneCalcMessageLog.txt for details."},
    {CMDERR_INVALID_SCHEDULE_GROUP, "Invalid Schedule Group Name."},
    {CMDERR_INVALID_INPUT_UNITS, "Invalid Input Units."},
    {CMDERR_INVALID_OUTPUT_UNITS, "Invalid Output Units."},
    {CMDERR_INVALID_MEASUREMENT_TYPE, "Invalid Measurement Type."},
    {CMDERR_ADD_UNIT_CONVERSION, "Error Adding Unit Conversion"},
    {CMDERR_LIBRARY_IN_USE, "Library is currently being used."},
    {CMDERR_CREATE_EDIT_OBJECT, "Error Creating Edit Object."},
    {CMDERR_NO_FILENAME, "No Filename Defined for Object."},
    {CMDERR_VRROOT_INTERFACE, "Error Accessing VRRoot Interface"},
    {CMDERR_INVALID_FORMULA_NAME, "Invalid Formula Name."},
    {CMDERR_SAVE_OBJECT, "Error Saving Object."},
    {CMDERR_NOT_A_LIBRARY, "Object is Not a Library."},
    {CMDERR_NOT_A_CALCULATION, "Object is Not a Calculation"},
    {CMDERR_NOT_BEING_EDITED, "Object is Not Being Edited."},
    {CMDERR_OBJECT_INIT, "Object Initialization Error."},
    {CMDERR_NO_FORMULA_DEFINITION, "Calculation Has No Formula Definition."},
    {CMDERR_FORMULAS_NOT_DELETED, "Some Formulas were not deleted."},
    {CMDERR_UPDATE_FORMULA, "Error Updating Formula"},
    {CMDERR_ADD_FORMULA, "Error Adding Formula."},
    {CMDERR_CURRENTLY_EDITED, "The Object is currently beiing edited."},
    {CMDERR_ATTACH_LIBRARY, "Error Attaching to Library."},
    {CMDERR_NODE_EDITOR_REQUIRED, "Node and Editor Required"},
    {CMDERR_DELETE_LIBRARY_FILE, "Error Deleting Library File"},
    {CMDERR_MEASUREMENT_TYPE_INIT, "Error Initializing Measurement Type."},
    {CMDERR_MEASUREMENT_TYPE_EXISTS, "Measurement Type Already Exists."},
    {CMDERR_UNIT_CONVERSION_NOT_FOUND, "Unit Conversion Object Not Found."},
    {CMDERR_MEASUREMENT_TYPE_HAS_UNITS, "Measurement Type has Units Defined in it."},
    {CMDERR_SCHEDULE_NOT_FOUND, "Schedule Object Not Found."},
    {CMDERR_DELETE_FIELD, "Error Deleting Requested Field."},
    {CMDERR_NAME_HAS_SPACES, "The Name Field can not have Spaces in it."},
    {CMDERR_INVALID_UNITS_NAME, "Invalid Units Name."},
    {CMDERR_UNIT_EXISTS, "Unit Already Defined."},
    {CMDERR_DELETE_UNITS, "Error Deleting Units."},
    {CMDERR_COMMAND_SERVER_INTERFACE, "Error Getting Command Server Dispatch Interface."},
    {CMDERR_DLL_NOT_FOUND, "DLL File Not Found."},
    {CMDERR_DLL_FUNCTION_NOT_FOUND, "DLL Function Not Found."},
    {CMDERR_INVALID_PRIORITY, "Invalid Schedule Priority Value. Valid Numbers: -2, -1, 0, 1, 2"},
    {CMDERR_INVALID_DAY_OF_MONTH, "Invalid Day of the Month"},
    {CMDERR_INVALID_DAY_OF_WEEK, "Invalid Day Of Week"},
    {CMDERR_BASE_DIR_NOT_INITIALIZED, "Base Directory Not Initialized"},
    {CMDERR_INVALID_DIRECTORY, "Invalid Directory Name"},
    {CMDERR_BLANK_DIRECTORY, "Directory Name Can Not be Blank"},
    {CMDERR_SCHEDULE_NOT_SUPPORTED, "Schedule Commands Not Supported by Application Command Object"},
    {CMDERR_INVALID_ARGUMENTS, "Invalid Arguments"},
    {CMDERR_MEMORY_ALLOCATION, "Memory Allocation Error."},
    {CMDERR_CDB_FIELD_WRITE, "Error Writing CDB Field"},
    {CMDERR_CATCH_ALL, "Error Message Text is stored by the program. (Catch All Error Code)."},
    {CMDERR_ADO_SERVER_INTERFACE, "Error Getting ADO Server Interface"},
    {CMDERR_EXCEL_SERVER_INTERFACE, "Error Getting Excel Server Interface."},
    {CMDERR_BASE_NOT_DEFINED, "MORVANE_CALC_BASE Not Defined"},
    {CMDERR_RELOAD_NOT_NEEDED, "Library Reload Not Needed."},
    {CMDERR_CYCLIC_ATTACHMENT, "Attachment would cause cyclic attachment."},
    {CMDERR_DENIED_CALC, "Not authorized to create, modify, delete, copy or rename of any type of calculation on this node."},
    {CMDERR_DENIED_NONSCRIPT_CALC, "Not authorized to create, modify, delete, copy or rename of any non-CalcScript calculation on this node."},
    {CMDERR_DENIED_EXECUTE, "Not authorized to execute any calculation on this node."},
    {CMDERR_DENIED_LIBRARY, "Not authorized to create, modify, delete, copy or rename of any type of formula/library on this node. "},
    {CMDERR_DENIED_NONSCRIPT_LIBRARY, "Not authorized to create, modify, delete, copy or rename of any non-CalcScript formula/library on this node. "},
    {CMDERR_DENIED_SCHEDULE, "Not authorized to create, modify, delete, copy or rename of schedule groups, to schedule and de-schedule of calculations on this node."},
    {CMDERR_DENIED_UNITS, "Not authorized to create, modify, delete of any engineering units on this node. "},
    {CMDERR_SECURITY_CONTEXT, "Failed to switch user security context!"},
};

}  // namespace

const char* CommandErrorText(long code) {
  for (const auto& e : kErrorTable)
    if (e.code == code) return e.text;
  return nullptr;
}

}  // namespace kv
