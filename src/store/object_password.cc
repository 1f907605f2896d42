// The password code and the password commands.
#include "store/object_password.h"

#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "components/calc_components.h"
#include "store/object_kind.h"

namespace kv {

int32_t store::PasswordCode(std::string_view text) {
  uint32_t sum = 0;  // unsigned, so that the wrap is defined
  for (size_t i = 0; i < text.size(); ++i) {
    const int32_t byte = static_cast<signed char>(text[i]);
    sum += static_cast<uint32_t>(byte) * static_cast<uint32_t>(i + 42);
  }
  return static_cast<int32_t>(sum);
}

bool CCalcCmdBase::PasswordMatches(IDispatch* object, const Bstr& password) {
  Variant stored, code;
  if (com::FAILED(com::GetProperty(object, "Password", &stored))) return false;
  if (com::FAILED(com::ChangeType(stored, com::VT_I4, &code))) return false;
  return code.i4() == store::PasswordCode(password.ToUtf8());
}

bool CCalcCmdBase::SetObjectPassword(IDispatch* object, const Bstr& oldUserId, const Bstr& oldPassword,
                                     const Bstr& newUserId, const Bstr& newPassword) {
  ResetLastError();
  // Libraries answer to the library right, anything else to the calculation right.
  const bool calculation = !com::QueryInterface<components::IZrLibrary>(object);
  const Grant grant = CheckRightsFor(calculation ? store::kCalculationKind : store::kLibraryKind);
  if (grant == Grant::Refused) return false;
  if (!PasswordMatches(object, oldPassword)) return Failed(CMDERR_INVALID_PASSWORD);
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, object, calculation)) return false;
  if (com::FAILED(com::PutProperty(object, "ID", Variant::Str(newUserId.ToUtf8()))) ||
      com::FAILED(com::PutProperty(object, "Password", Variant::I4(store::PasswordCode(newPassword.ToUtf8())))))
    return Failed(CMDERR_CDB_FIELD_WRITE);
  return true;
}

}  // namespace kv
