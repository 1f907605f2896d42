#pragma once
// Command error codes and their fixed texts (US English). The texts are the system's own and
// are returned to clients exactly as they stand, trailing blanks included.

namespace kv {

inline constexpr long CMDERR_INVALID_PASSWORD = 129;
inline constexpr long CMDERR_CDB_FIELD_ACCESS = 130;
inline constexpr long CMDERR_INVALID_LIBRARY_NAME = 131;
inline constexpr long CMDERR_INVALID_CALCULATION_NAME = 132;
inline constexpr long CMDERR_GET_CALCULATION_OBJECT = 133;
inline constexpr long CMDERR_ALREADY_BEING_EDITED = 134;
inline constexpr long CMDERR_LOAD_FROM_FILE = 135;
inline constexpr long CMDERR_DELETE_EDIT_FILE = 136;
inline constexpr long CMDERR_EDITED_BY_OTHER_USER = 137;
inline constexpr long CMDERR_NAME_EXISTS = 138;
inline constexpr long CMDERR_SAVE_EDIT_OBJECT = 139;
inline constexpr long CMDERR_INVALID_SCHEDULE_GROUP = 140;
inline constexpr long CMDERR_INVALID_INPUT_UNITS = 141;
inline constexpr long CMDERR_INVALID_OUTPUT_UNITS = 142;
inline constexpr long CMDERR_INVALID_MEASUREMENT_TYPE = 143;
inline constexpr long CMDERR_ADD_UNIT_CONVERSION = 144;
inline constexpr long CMDERR_LIBRARY_IN_USE = 145;
inline constexpr long CMDERR_CREATE_EDIT_OBJECT = 146;
inline constexpr long CMDERR_NO_FILENAME = 147;
inline constexpr long CMDERR_VRROOT_INTERFACE = 148;
inline constexpr long CMDERR_INVALID_FORMULA_NAME = 149;
inline constexpr long CMDERR_SAVE_OBJECT = 150;
inline constexpr long CMDERR_NOT_A_LIBRARY = 151;
inline constexpr long CMDERR_NOT_A_CALCULATION = 152;
inline constexpr long CMDERR_NOT_BEING_EDITED = 153;
inline constexpr long CMDERR_OBJECT_INIT = 154;
inline constexpr long CMDERR_NO_FORMULA_DEFINITION = 155;
inline constexpr long CMDERR_FORMULAS_NOT_DELETED = 156;
inline constexpr long CMDERR_UPDATE_FORMULA = 157;
inline constexpr long CMDERR_ADD_FORMULA = 158;
inline constexpr long CMDERR_CURRENTLY_EDITED = 159;
inline constexpr long CMDERR_ATTACH_LIBRARY = 160;
inline constexpr long CMDERR_NODE_EDITOR_REQUIRED = 161;
inline constexpr long CMDERR_DELETE_LIBRARY_FILE = 162;
inline constexpr long CMDERR_MEASUREMENT_TYPE_INIT = 163;
inline constexpr long CMDERR_MEASUREMENT_TYPE_EXISTS = 164;
inline constexpr long CMDERR_UNIT_CONVERSION_NOT_FOUND = 165;
inline constexpr long CMDERR_MEASUREMENT_TYPE_HAS_UNITS = 166;
inline constexpr long CMDERR_SCHEDULE_NOT_FOUND = 167;
inline constexpr long CMDERR_DELETE_FIELD = 168;
inline constexpr long CMDERR_NAME_HAS_SPACES = 169;
inline constexpr long CMDERR_INVALID_UNITS_NAME = 170;
inline constexpr long CMDERR_UNIT_EXISTS = 171;
inline constexpr long CMDERR_DELETE_UNITS = 172;
inline constexpr long CMDERR_COMMAND_SERVER_INTERFACE = 173;
inline constexpr long CMDERR_DLL_NOT_FOUND = 174;
inline constexpr long CMDERR_DLL_FUNCTION_NOT_FOUND = 175;
inline constexpr long CMDERR_INVALID_PRIORITY = 176;
inline constexpr long CMDERR_INVALID_DAY_OF_MONTH = 177;
inline constexpr long CMDERR_INVALID_DAY_OF_WEEK = 178;
inline constexpr long CMDERR_BASE_DIR_NOT_INITIALIZED = 179;
inline constexpr long CMDERR_INVALID_DIRECTORY = 180;
inline constexpr long CMDERR_BLANK_DIRECTORY = 181;
inline constexpr long CMDERR_SCHEDULE_NOT_SUPPORTED = 182;
inline constexpr long CMDERR_INVALID_ARGUMENTS = 183;
inline constexpr long CMDERR_MEMORY_ALLOCATION = 184;
inline constexpr long CMDERR_CDB_FIELD_WRITE = 185;
inline constexpr long CMDERR_CATCH_ALL = 186;
inline constexpr long CMDERR_ADO_SERVER_INTERFACE = 187;
inline constexpr long CMDERR_EXCEL_SERVER_INTERFACE = 188;
inline constexpr long CMDERR_BASE_NOT_DEFINED = 189;
inline constexpr long CMDERR_RELOAD_NOT_NEEDED = 190;
inline constexpr long CMDERR_CYCLIC_ATTACHMENT = 191;
inline constexpr long CMDERR_DENIED_CALC = 192;
inline constexpr long CMDERR_DENIED_NONSCRIPT_CALC = 193;
inline constexpr long CMDERR_DENIED_EXECUTE = 194;
inline constexpr long CMDERR_DENIED_LIBRARY = 195;
inline constexpr long CMDERR_DENIED_NONSCRIPT_LIBRARY = 196;
inline constexpr long CMDERR_DENIED_SCHEDULE = 197;
inline constexpr long CMDERR_DENIED_UNITS = 198;
inline constexpr long CMDERR_SECURITY_CONTEXT = 199;

// The text of `code`, or nullptr when the table has none (0 and codes outside 129..199).
const char* CommandErrorText(long code);

}  // namespace kv
