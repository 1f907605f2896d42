#pragma once
// An authorization service that records what the gate passes to it and answers as the test
// says, registered under the real service's class id for the fixture's lifetime.
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "com/class_registry.h"
#include "components/authorization.h"
#include "log/debug_log.h"
#include "security/server_security.h"
#include "support/test_env.h"

namespace kv::testing {

using com::Bstr;
using com::HRESULT;

class RecordingAuthorization : public com::ComObject<components::IOrvAuthorizationSvc> {
 public:
  struct Check {
    std::string domain, user, sid;
    uint32_t right;
    friend bool operator==(const Check&, const Check&) = default;
  };

  // Answers.
  std::vector<HRESULT> initResults;  // taken in order; S_OK once used up
  HRESULT refreshResult = com::S_OK;
  HRESULT checkResult = com::S_OK;
  uint32_t heldRights = 0;                   // granted when all bits of the right are held
  com::VARIANT_BOOL grantedValue = com::VARIANT_TRUE;  // the flag written for a held right
  bool throwInCheck = false;

  // Records.
  std::vector<Check> checks;
  std::vector<std::string> sidNames;  // objectName of every GetSecurityId
  int initCalls = 0, refreshCalls = 0;
  std::atomic<bool> overlapped{false};  // two CheckAccessEx calls were ever in progress at once

  HRESULT CheckAccessEx(const Bstr& domain, const Bstr& user, const Bstr& sid, uint32_t right,
                        com::VARIANT_BOOL* granted) override {
    if (inside_.fetch_add(1) != 0) overlapped = true;
    std::this_thread::yield();
    checks.push_back({domain.ToUtf8(), user.ToUtf8(), sid.ToUtf8(), right});
    inside_.fetch_sub(1);
    if (throwInCheck) throw std::runtime_error("service fault");
    *granted = right != 0 && (heldRights & right) == right ? grantedValue : com::VARIANT_FALSE;
    return checkResult;
  }
  HRESULT RefreshCache() override {
    ++refreshCalls;
    return refreshResult;
  }
  HRESULT InitCache() override {
    size_t i = static_cast<size_t>(initCalls++);
    return i < initResults.size() ? initResults[i] : com::S_OK;
  }
  HRESULT GetSecurityId(const Bstr& app, const Bstr& cls, const Bstr& name, Bstr* sid) override {
    sidNames.push_back(name.ToUtf8());
    if (app.ToUtf8() != "Morvane Calc" || cls.ToUtf8() != "Servers" || name.Length() == 0) {
      *sid = Bstr(u"");
      return com::E_INVALIDARG;
    }
    *sid = Bstr::FromUtf8("SID:" + name.ToUtf8());
    return com::S_OK;
  }

 private:
  std::atomic<int> inside_{0};
};

// A test environment with the gate reset, its lines captured, and the recording service
// registered. Security progress lines are off unless a test switches them on.
class GateFixture : public ::testing::Test {
 protected:
  using Line = std::pair<std::string, std::string>;  // message, detail

  void SetUp() override {
    security::ZrServerSecurity::ResetForTest();
    security::ZrServerSecurity::SetLogSinkForTest(
        [this](std::string_view m, std::string_view d) { lines.emplace_back(std::string(m), std::string(d)); });
    g_DebugLog.SetCategory(LogCategory::Security, false);
    service = com::MakeCom<RecordingAuthorization>();
    com::ClassRegistry::Instance().Register(components::CLSID_OrvAuthorization, {}, [s = service] {
      return com::ComPtr<com::IUnknown>(s);
    });
  }
  void TearDown() override {
    security::ZrServerSecurity::ResetForTest();
    com::ClassRegistry::Instance().Unregister(components::CLSID_OrvAuthorization);
    g_DebugLog.SetCategory(LogCategory::Security, false);
  }

  TestEnv env;
  com::ComPtr<RecordingAuthorization> service;
  std::vector<Line> lines;
};

}  // namespace kv::testing
