#pragma once
// What the access gate asks of the authorization service. The gate reaches the service only
// through this interface and the class registry; the implementation lives in src/engine/.
#include <cstdint>

#include "com/bstr.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"
#include "com/variant.h"

namespace kv::components {

inline constexpr com::CLSID CLSID_OrvAuthorization = com::MakeGuid("F4B466E7-0001-11D4-828F-00C04F12B1D3");
inline constexpr com::IID IID_IOrvAuthorizationSvc = com::MakeGuid("41ABCF00-0005-11D4-828F-00C04F12B1D3");

// The service's operations, in the order its dispatch interface lists them. An implementation
// must be safe to call from any thread.
class IOrvAuthorizationSvc : public virtual com::IUnknown {
 public:
  // *granted is VARIANT_TRUE exactly when `user` of `domain` holds `right` on the secured
  // object `securityId`, VARIANT_FALSE otherwise (whatever the status says).
  virtual com::HRESULT CheckAccessEx(const com::Bstr& domain, const com::Bstr& user, const com::Bstr& securityId,
                                     uint32_t right, com::VARIANT_BOOL* granted) = 0;
  // Reloads the cached rights.
  virtual com::HRESULT RefreshCache() = 0;
  // Loads the cached rights; must succeed before the service is asked anything.
  virtual com::HRESULT InitCache() = 0;
  // The identifier of the secured object `objectName` of class `objectClass` of application
  // `appName`; *securityId is left empty on failure.
  virtual com::HRESULT GetSecurityId(const com::Bstr& appName, const com::Bstr& objectClass,
                                     const com::Bstr& objectName, com::Bstr* securityId) = 0;
};

}  // namespace kv::components
