#include "security/server_security.h"

#include <cerrno>
#include <string>

#include "com/bstr.h"
#include "com/call_context.h"
#include "com/class_registry.h"
#include "com/contained_call.h"
#include "log/debug_log.h"
#include "platform/env.h"

namespace kv::security {

using com::Bstr;
using com::ComPtr;
using com::FAILED;
using com::HRESULT;
using com::SUCCEEDED;
using components::IOrvAuthorizationSvc;

std::recursive_mutex ZrServerSecurity::SecurityLock;

namespace {

constexpr const char* kAnonymousIdentity = "NT AUTHORITY\\ANONYMOUS LOGON";
constexpr size_t kMaxComputerName = 16;
// The status written with the refusal for a missing server identifier.
constexpr HRESULT kNoServerIdStatus = com::E_ACCESSDENIED;

struct State {
  std::unique_ptr<GlobalInterfaceTable> table;  // the global interface table
  ComPtr<IOrvAuthorizationSvc> service;
  uint32_t cookie = 0;
  Bstr serverId;
  bool initialized = false;
  ZrServerSecurity::LogSink sink;
  ZrServerSecurity::TableFactory tableFactory;
};

State& S() {
  static State state;
  return state;
}

void Emit(std::string_view message, std::string_view detail) {
  const auto& sink = S().sink;
  if (sink) {
    sink(message, detail);
  } else {
    g_DebugLog.Write(message, detail);
  }
}

// A progress line, written only when the Security category is on.
void Trace(std::string_view message) {
  if (g_DebugLog.IsOn(LogCategory::Security)) Emit(message, "");
}

// A progress line with the status in "( ... )" after the message.
void TraceStatus(std::string_view message, HRESULT hr) {
  if (g_DebugLog.IsOn(LogCategory::Security)) {
    Emit(std::string(message) + "( " + DebugLog::HResultText(hr) + " )", "");
  }
}

// A failure line, written whatever the categories say.
void Fail(std::string_view message, HRESULT hr) { Emit(message, DebugLog::HResultText(hr)); }

// Runs one operation of the gate, which must not throw: an exception escaping `body` is written
// as a failure of `where`, and its status returned.
template <class Body>
HRESULT Contained(std::string_view where, Body&& body) {
  const HRESULT hr = com::ContainedCall(body);
  if (FAILED(hr)) Fail(where, hr);
  return hr;
}

// The gate is process-wide, as the server objects are: its platform is theirs.
platform::SystemInfo* System() { return platform::Env::Current().system; }

HRESULT MakeTable(std::unique_ptr<GlobalInterfaceTable>* table) {
  *table = std::make_unique<GlobalInterfaceTable>();
  return com::S_OK;
}

}  // namespace

void ZrServerSecurity::CheckInitialized() {
  std::lock_guard lock(SecurityLock);
  State& s = S();
  if (s.initialized) return;
  Contained("ZrServerSecurity::CheckInitialized", [&] {
    Trace("CLSID_StdGlobalInterfaceTable - Create");
    if (!s.table) {
      std::unique_ptr<GlobalInterfaceTable> table;
      HRESULT hr = s.tableFactory ? s.tableFactory(&table) : MakeTable(&table);
      if (SUCCEEDED(hr) && !table) hr = com::E_POINTER;
      if (FAILED(hr)) {
        Fail("ZrServerSecurity::CheckInitialized - CoCreateInstance CLSID_StdGlobalInterfaceTable - Create", hr);
        return;
      }
      s.table = std::move(table);
    }

    Trace("AUTHORIZATIONLib::IQLTXAuthorization - Create");
    if (!s.service) {
      ComPtr<IOrvAuthorizationSvc> service;
      HRESULT hr = com::CreateInstance(components::CLSID_OrvAuthorization, &service);
      if (FAILED(hr)) {
        Fail("ZrServerSecurity::CheckInitialized - CoCreateInstance cannot create "
             "AUTHWRAPPERSVCLib::OrvAuthorization(F4B466E7 - 0001 - 11D4 - 828F - 00C04F12B1D3) ORV Service",
             hr);
        return;
      }
      s.service = service;
    }

    Trace("AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::InitCache");
    if (s.cookie == 0) {
      HRESULT hr = s.table->Register(ComPtr<com::IUnknown>(s.service), &s.cookie);
      if (FAILED(hr)) {
        s.cookie = 0;
        Fail("ZrServerSecurity::CheckInitialize - failed to register interface g_pGIT->RegisterInterfaceInGlobal", hr);
      }
    }

    HRESULT hr = s.service->InitCache();
    TraceStatus("AUTHORIZATIONLib::IQLTXAuthorization::InitCache", hr);
    if (FAILED(hr)) {
      Fail("ZrServerSecurity::CheckInitialize failed g_spIOrvAuthorizationSvc->InitCache!", hr);
      return;
    }

    GetServerID(s.service.Get());
    s.initialized = true;
  });
}

void ZrServerSecurity::GetServerID(IOrvAuthorizationSvc* service) {
  std::lock_guard lock(SecurityLock);
  State& s = S();
  Contained("ZrServerSecurity::GetServerID", [&] {
    s.serverId = Bstr();
    platform::SystemInfo* system = System();
    std::string computer = system ? system->ComputerName() : std::string();
    if (computer.empty()) {
      Fail("ZrServerSecurity::GetServerID, GetComputerName failed to get server host name!", com::E_FAIL);
    } else if (computer.size() > kMaxComputerName) {
      computer.resize(kMaxComputerName);
    }

    Trace("AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::GetSecurityId");
    Bstr sid;
    HRESULT hr = service ? service->GetSecurityId(Bstr::FromUtf8("Morvane Calc"), Bstr::FromUtf8("Servers"),
                                                  Bstr::FromUtf8(computer), &sid)
                         : com::E_POINTER;
    TraceStatus("AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::GetSecurityId", hr);
    if (FAILED(hr)) {
      Fail("ZrServerSecurity::GetServerIDFailed in GetSecurityId for secured object - ", hr);
      Emit(computer, DebugLog::HResultText(hr));
      return;
    }
    s.serverId = sid;
  });
}

void ZrServerSecurity::GetAuthorizationInterface(ComPtr<IOrvAuthorizationSvc>* out) {
  *out = nullptr;
  std::lock_guard lock(SecurityLock);
  State& s = S();
  const HRESULT contained = Contained("ZrServerSecurity::GetAuthorizationInterface", [&] {
    if (!s.table) {
      Fail("ZrServerSecurity::GetAuthorizationInterface - global interface pointer is NULL!", com::E_POINTER);
      return;
    }
    Trace("GetInterfaceFromGlobal");
    ComPtr<com::IUnknown> object;
    HRESULT hr = s.table->Fetch(s.cookie, &object);
    if (SUCCEEDED(hr)) {
      *out = com::QueryInterface<IOrvAuthorizationSvc>(object);
      if (!*out) hr = com::E_NOINTERFACE;
    }
    if (FAILED(hr)) Fail("ZrServerSecurity::GetAuthorizationInterface - GetInterfaceFromGlobal failed!", hr);
  });
  if (FAILED(contained)) *out = nullptr;
}

bool ZrServerSecurity::CheckAccess(uint32_t right) {
  std::lock_guard lock(SecurityLock);
  bool answer = false;
  Contained("ZrServerSecurity::CheckAccess", [&] {
    CheckInitialized();
    State& s = S();
    if (!s.service) return;

    std::string serverPrincipal, privileges;
    platform::SystemInfo* system = System();
    HRESULT hr = system ? com::QueryClientBlanket(*system, &serverPrincipal, &privileges) : com::E_FAIL;
    if (FAILED(hr)) {
      Fail("ZrServerSecurity::CheckAccess - Unabled to query client's info!", hr);
      return;
    }

    if (s.serverId.Length() == 0) {
      Fail("ZrServerSecurity::CheckAccess - server security identifier is empty, access refused!", kNoServerIdStatus);
      return;
    }

    std::string identity = privileges == "\\" ? kAnonymousIdentity : privileges;
    std::string domain, user;
    size_t cut = identity.rfind('\\');
    if (cut == std::string::npos) {
      user = identity;
    } else {
      domain = identity.substr(0, cut);
      user = identity.substr(cut + 1);
    }

    Trace("AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::CheckAccessEx");
    ComPtr<IOrvAuthorizationSvc> service;
    GetAuthorizationInterface(&service);
    if (!service) return;

    com::VARIANT_BOOL granted = com::VARIANT_FALSE;
    hr = service->CheckAccessEx(Bstr::FromUtf8(domain), Bstr::FromUtf8(user), s.serverId, right, &granted);
    TraceStatus("AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::CheckAccessEx", hr);
    answer = granted == com::VARIANT_TRUE;
  });
  return answer;
}

void ZrServerSecurity::RefreshCache() {
  std::lock_guard lock(SecurityLock);
  Contained("ZrServerSecurity::RefreshCache", [&] {
    CheckInitialized();
    if (!S().service) return;
    ComPtr<IOrvAuthorizationSvc> service;
    GetAuthorizationInterface(&service);
    if (!service) return;
    HRESULT hr = service->RefreshCache();
    TraceStatus("AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::RefreshCache", hr);
    if (FAILED(hr)) Fail("ZrServerSecurity::RefreshCache - failed to refresh cache!", hr);
  });
}

void ZrServerSecurity::ResetForTest() {
  std::lock_guard lock(SecurityLock);
  State& s = S();
  if (s.table && s.cookie != 0) s.table->Revoke(s.cookie);
  s = State();
}

void ZrServerSecurity::SetLogSinkForTest(LogSink sink) {
  std::lock_guard lock(SecurityLock);
  S().sink = std::move(sink);
}

void ZrServerSecurity::SetTableFactoryForTest(TableFactory factory) {
  std::lock_guard lock(SecurityLock);
  S().tableFactory = std::move(factory);
}

}  // namespace kv::security
