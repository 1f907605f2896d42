// The database pass-through: the environment does the work and says the outcome by the type of
// the result it writes.
#include "base/error_codes.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "execution/execution_commands.h"

namespace kv::execution {
namespace {

// True for VT_BOOL true; a VT_I4 becomes the last error by its code, a VT_BSTR by its text; any
// other type is false without an error.
bool Outcome(CCalcCmdBase& cmd, const Variant& v) {
  switch (v.vt()) {
    case com::VT_BOOL:
      return v.boolVal() != com::VARIANT_FALSE;
    case com::VT_I4:
      cmd.SetCommandError(v.i4());
      return false;
    case com::VT_BSTR:
      cmd.SetCommandError(v.bstr().ToUtf8(), CMDERR_CATCH_ALL);
      return false;
    default:
      return false;
  }
}

}  // namespace

bool AdoConnect(CCalcCmdBase& cmd, const Bstr& connect, const Bstr& userId, const Bstr& password, long options) {
  cmd.ResetLastError();
  Variant v;
  if (g_pEnvironment) g_pEnvironment->EnvAdoConnect(connect, userId, password, options, &v);
  return Outcome(cmd, v);
}

bool AdoClose(CCalcCmdBase& cmd, const Bstr& connection) {
  cmd.ResetLastError();
  Variant v;
  if (g_pEnvironment) g_pEnvironment->EnvAdoClose(connection, &v);
  return Outcome(cmd, v);
}

bool AdoQueryInfo(CCalcCmdBase& cmd, const Bstr& connection, const Bstr& queryDefinition, Variant* fieldNames,
                                Variant* fieldTypes) {
  cmd.ResetLastError();
  Variant v;
  if (g_pEnvironment) g_pEnvironment->EnvAdoQueryInfo(connection, queryDefinition, fieldNames, fieldTypes, &v);
  return Outcome(cmd, v);
}

}  // namespace kv::execution
