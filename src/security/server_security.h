#pragma once
// The access gate: answers whether the caller of the current command holds a right on this
// node. The gate does not decide by itself: it names this server as a secured object of the
// authorization service (class CLSID_OrvAuthorization, created through the class registry),
// identifies the caller from the call context and asks the service.
//
// Everything is static and process-wide. SecurityLock (recursive) is held for the whole of
// every operation, so the service is asked one question at a time; every member may be called
// from any thread. The computer name and the server's own account come from the platform of
// the process (platform::Env::Current()).
//
// Fails closed: without the service, when the caller cannot be identified, when the service
// cannot be fetched for the calling thread, or when the server has no security identifier, the
// answer is false. Nothing here throws; failures are written to the diagnostic log (always),
// the progress lines only when the Security category is on.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "com/hresult.h"
#include "com/unknown.h"
#include "components/authorization.h"
#include "security/global_interface_table.h"

namespace kv::security {

class ZrServerSecurity {
 public:
  // True when the caller holds `right` (passed to the service bit for bit). Initialises first
  // when needed. The anonymous caller ("\") is asked about as "NT AUTHORITY\ANONYMOUS LOGON";
  // the identity is split at its last backslash into domain and user name (no backslash: empty
  // domain). Only the service's granted flag counts, not its status.
  //
  // Deliberately stricter than the service contract requires: when the server has no security
  // identifier (InitCache or GetSecurityId failed), every caller is refused and the line
  // "ZrServerSecurity::CheckAccess - server security identifier is empty, access refused!" is
  // written. Admitting callers without a server principal name there would admit every caller
  // of our transport, which never reports one.
  static bool CheckAccess(uint32_t right);

  // Makes the service reload its cached rights (at start-up and for each new main command
  // object). Initialises first when needed; failures are only logged.
  static void RefreshCache();

  // First-use initialisation: creates the global interface table and the service, registers the
  // service in the table, calls InitCache and, when that succeeds, obtains the server's
  // security identifier and counts as initialised for the life of the process. Until then each
  // call tries again, reusing what already exists. Does nothing once initialised.
  static void CheckInitialized();

  // A reference to the service for the calling thread, fetched from the global interface table; null
  // on every failure (no table, unknown cookie, the object not answering the interface).
  static void GetAuthorizationInterface(com::ComPtr<components::IOrvAuthorizationSvc>* out);

  // Clears the server's security identifier and asks `service` for the one of ("Morvane Calc",
  // "Servers", <computer name>), keeping it on success. The computer name is cut to its first
  // 16 characters; an empty one is logged and passed on as it is.
  static void GetServerID(components::IOrvAuthorizationSvc* service);

  static std::recursive_mutex SecurityLock;

  // ---- Test seams (not for production code; call while no other thread uses the gate) ----
  // Back to uninitialised: drops the service, the table and its cookie, the identifier and the
  // seams below.
  static void ResetForTest();
  // Receives every line instead of the diagnostic log (an empty function restores the log).
  // The Security category is still read from g_DebugLog.
  using LogSink = std::function<void(std::string_view message, std::string_view detail)>;
  static void SetLogSinkForTest(LogSink sink);
  // Makes the global interface table; a failed status or a null table fails the creation.
  using TableFactory = std::function<com::HRESULT(std::unique_ptr<GlobalInterfaceTable>* table)>;
  static void SetTableFactoryForTest(TableFactory factory);
};

}  // namespace kv::security
