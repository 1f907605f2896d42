// The password code and the password commands.
#include "store/object_password.h"

#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "components/calc_components.h"
#include "store/object_kind.h"
#include "store/store_commands.h"

namespace kv::store {

int32_t PasswordCode(std::string_view text) {
  uint32_t sum = 0;  // unsigned, so that the wrap is defined
  for (size_t i = 0; i < text.size(); ++i) {
    const int32_t byte = static_cast<signed char>(text[i]);
    sum += static_cast<uint32_t>(byte) * static_cast<uint32_t>(i + 42);
  }
  return static_cast<int32_t>(sum);
}

bool PasswordMatches(IDispatch* object, const Bstr& password) {
  Variant stored, code;
  if (com::FAILED(com::GetProperty(object, "Password", &stored))) return false;
  if (com::FAILED(com::ChangeType(stored, com::VT_I4, &code))) return false;
  return code.i4() == store::PasswordCode(password.ToUtf8());
}

bool SetObjectPassword(CCalcCmdBase& cmd, IDispatch* object, const Bstr& oldUserId, const Bstr& oldPassword,
                                     const Bstr& newUserId, const Bstr& newPassword) {
  cmd.ResetLastError();
  // Libraries answer to the library right, anything else to the calculation right.
  const bool calculation = !com::QueryInterface<components::IZrLibrary>(object);
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, calculation ? store::kCalculationKind : store::kLibraryKind);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  if (!PasswordMatches(object, oldPassword)) return cmd.Failed(CMDERR_INVALID_PASSWORD);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, object, calculation)) return false;
  if (com::FAILED(com::PutProperty(object, "ID", Variant::Str(newUserId.ToUtf8()))) ||
      com::FAILED(com::PutProperty(object, "Password", Variant::I4(store::PasswordCode(newPassword.ToUtf8())))))
    return cmd.Failed(CMDERR_CDB_FIELD_WRITE);
  return true;
}

}  // namespace kv::store
