#include "exchange/import_target.h"

#include "base/error_codes.h"
#include "exchange/exchange_commands.h"
#include "store/store_commands.h"

namespace kv::exchange {

bool ImportTarget(CCalcCmdBase& cmd, IDispatch* object, ComPtr<IDispatch>* target) {
  if (!store::IsSharedObject(object)) {
    *target = object;
    return true;
  }
  if (!store::MayChangeInPlace(cmd, object)) return false;
  *target = BSTRtoObject(cmd, ObjecttoBSTR(cmd, object));
  if (*target) return true;
  cmd.SetCommandError("Error querying IZrPeresistXML interface.", CMDERR_CATCH_ALL);
  return false;
}

}  // namespace kv::exchange
