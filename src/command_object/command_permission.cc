#include "command_object/calc_cmd_base.h"
#include "security/server_security.h"

namespace kv {

using security::ZrServerSecurity;

bool CCalcCmdBase::CheckAccess(long taskNo) {
  ResetLastError();
  return ZrServerSecurity::CheckAccess(static_cast<uint32_t>(taskNo));
}

bool CCalcCmdBase::HoldsRight(uint32_t right, StoreScope scope) const {
  if (m_accessMode != kAccessChecked && scope == StoreScope::Own) return true;
  return ZrServerSecurity::CheckAccess(right);
}

bool CCalcCmdBase::CheckPermission(uint32_t right, long refusalCode, StoreScope scope) {
  if (HoldsRight(right, scope)) return true;
  SetCommandError(refusalCode);
  return false;
}

CCalcCmdBase::Grant CCalcCmdBase::CheckTwoRights(uint32_t wide, uint32_t scriptOnly, long refusalCode,
                                                 StoreScope scope) {
  if (m_accessMode != kAccessChecked && scope == StoreScope::Own) return Grant::Full;
  if (ZrServerSecurity::CheckAccess(wide)) return Grant::Full;
  if (ZrServerSecurity::CheckAccess(scriptOnly)) return Grant::ScriptOnly;
  SetCommandError(refusalCode);
  return Grant::Refused;
}

}  // namespace kv
