// Installation and registration against temporary folders, a recording systemctl and the test's
// registry store.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/service_module.h"
#include "app/service_names.h"
#include "support/test_env.h"

namespace kv::app {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using platform::RegHive;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Registration : public ::testing::Test {
 public:
  Registration() : module_(env_.env(), Outputs()) {
    module_.Init();
    for (const char* d : {"units", "policy", "activation", "interfaces"}) fs::create_directories(env_.Path(d));
    ZrServiceHelpers::Options& o = module_.HelperOptions();
    o.places = {env_.Path("units"), env_.Path("policy"), env_.Path("activation"), env_.Path("interfaces")};
    o.systemctl = [this](const std::vector<std::string>& args, std::string* out) {
      std::string line;
      for (const auto& a : args) line += (line.empty() ? "" : " ") + a;
      calls_.push_back(line);
      if (args[0] == "is-active") {
        const bool active = activeAnswers_ > 0;
        if (active) --activeAnswers_;
        *out = active ? "deactivating\n" : "inactive\n";
        return active ? 0 : 3;
      }
      return args[0] == "enable" ? enableStatus_ : 0;
    };
    o.sleep = [this](int ms) { sleeps_.push_back(ms); };
    o.registryDir = env_.Path("reg");
    o.writablePaths = {env_.Path("store")};
  }
  CServiceModule::Outputs Outputs() {
    CServiceModule::Outputs out;
    out.notify = [](const std::string&) {};
    out.journal = [this](int, const std::string& text) { events_.push_back(text); };
    out.out = &stdout_;
    return out;
  }
  std::string Unit() const { return env_.Path("units/CalculatorServerService.service"); }
  std::string Policy() const { return env_.Path("policy/com.quorlith.Kelvarin.conf"); }
  std::string Activation() const { return env_.Path("activation/com.quorlith.Kelvarin.service"); }
  std::string Interfaces() const { return env_.Path("interfaces/com.quorlith.Kelvarin.xml"); }
  std::string Value(const std::string& key, const std::string& name) {
    platform::RegValue v;
    return env_.registry().GetValue(RegHive::LocalMachine, key, name, &v) == platform::kRegOk ? v.text : "(none)";
  }
  bool ClassesRegistered() {
    return env_.registry().KeyExists(RegHive::LocalMachine,
                                     std::string(kClassesKey) + "\\CLSID\\" + kRegisteredClasses[0].clsid) &&
           env_.registry().KeyExists(RegHive::LocalMachine, std::string(kClassesKey) + "\\Kelvarin.CalcCommands");
  }

  testing::TestEnv env_;
  std::ostringstream stdout_;
  std::vector<std::string> events_, calls_;
  std::vector<int> sleeps_;
  int activeAnswers_ = 0;  // how many is-active answers say "deactivating" before "inactive"
  int enableStatus_ = 0;
  std::string account_;
  CServiceModule module_;
};

TEST_F(Registration, RegisterWritesTheServiceTheClassesAndTheTypeLibrary) {
  ASSERT_EQ(module_.RegisterServer(true, true, "nobody", ""), com::S_OK) << ::testing::PrintToString(events_);
  const std::string unit = Read(Unit());
  for (const char* line : {"Description=Quorlith Calculator Engine\n", "Type=notify\n",
                           "ExecStart=\"/opt/kelvarin/bin/kelvarin\" --bus=system\n", "User=nobody\n",
                           "Restart=on-failure\n", "After=dbus.service\n", "ProtectSystem=strict\n",
                           "NoNewPrivileges=yes\n", "PrivateTmp=yes\n", "WatchdogSec=30\n"})
    EXPECT_THAT(unit, HasSubstr(line));
  EXPECT_THAT(unit, HasSubstr("ReadWritePaths=\"-" + env_.Path("store") + "\"\n"));
  EXPECT_THAT(Read(Policy()), HasSubstr("<policy user=\"nobody\">\n    <allow own=\"com.quorlith.Kelvarin\"/>"));
  EXPECT_THAT(Read(Policy()), HasSubstr("<policy context=\"default\">\n    <allow send_destination=\"com.quorlith.Kelvarin\"/>"));
  EXPECT_THAT(Read(Activation()), HasSubstr("SystemdService=CalculatorServerService.service\n"));
  EXPECT_EQ(fs::status(Policy()).permissions() & fs::perms::others_read, fs::perms::others_read);
  EXPECT_THAT(calls_, ::testing::ElementsAre("daemon-reload", "enable CalculatorServerService.service"));

  EXPECT_EQ(Value(kServicesKey, "ImagePath"), "\"/opt/kelvarin/bin/kelvarin\"");
  EXPECT_EQ(Value(kServicesKey, "Description"), "Execute calculations");
  const std::string appId = std::string(kClassesKey) + "\\AppID\\" + kAppId;
  EXPECT_EQ(Value(appId, "LocalService"), "CalculatorServerService");
  EXPECT_EQ(Value(appId, "ServiceParameters"), "-Service");
  EXPECT_EQ(Value(appId, ""), "Quorlith Calculator Engine");
  for (const RegisteredClass& c : kRegisteredClasses) {
    const std::string clsid = std::string(kClassesKey) + "\\CLSID\\" + c.clsid;
    EXPECT_EQ(Value(clsid, ""), c.name);
    EXPECT_EQ(Value(clsid + "\\ProgID", ""), c.progId);
    EXPECT_EQ(Value(clsid + "\\LocalServer32", ""), "/opt/kelvarin/bin/kelvarin");
    EXPECT_EQ(Value(clsid + "\\LocalServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(Value(clsid + "\\TypeLib", ""), kTypeLibId);
    EXPECT_TRUE(env_.registry().KeyExists(RegHive::LocalMachine, clsid + "\\Programmable"));
    EXPECT_EQ(Value(std::string(kClassesKey) + "\\" + c.indepProgId + "\\CurVer", ""), c.progId);
  }
  const std::string typeLib = Value(std::string(kClassesKey) + "\\TypeLib\\" + kTypeLibId + "\\1.0\\0\\linux", "");
  EXPECT_EQ(typeLib, Interfaces());
  EXPECT_THAT(Read(typeLib), HasSubstr("<interface name=\"com.quorlith.Kelvarin.ICalcAppCommands\">"));
  EXPECT_THAT(Read(typeLib), HasSubstr("<interface name=\"com.quorlith.Kelvarin.ICalcCommands\">"));
}

TEST_F(Registration, RegisteringTwiceUpdatesTheOneService) {
  ASSERT_EQ(module_.RegisterServer(true, true, "", ""), com::S_OK);
  EXPECT_THAT(Read(Unit()), ::testing::Not(HasSubstr("User=")));
  EXPECT_THAT(Read(Policy()), HasSubstr("<policy user=\"root\">"));
  calls_.clear();
  ASSERT_EQ(module_.RegisterServer(true, true, "nobody", ""), com::S_OK);
  EXPECT_THAT(Read(Unit()), HasSubstr("User=nobody\n"));
  EXPECT_THAT(calls_, ::testing::ElementsAre("daemon-reload"));  // no second enable
  EXPECT_EQ(std::distance(fs::directory_iterator(env_.Path("units")), fs::directory_iterator()), 1);
}

TEST_F(Registration, AForeignCopyIsRefusedAndRegistersNothing) {
  ASSERT_EQ(module_.RegisterServer(true, true, "", ""), com::S_OK);
  // The classes gone, the service still there and pointing at the first copy.
  env_.registry().DeleteKey(RegHive::LocalMachine, std::string(kClassesKey) + "\\CLSID");
  env_.registry().DeleteKey(RegHive::LocalMachine, std::string(kClassesKey) + "\\Kelvarin.CalcCommands");
  const std::string unitBefore = Read(Unit());

  env_.system().moduleFolder = "/srv/other copy";
  events_.clear();
  EXPECT_TRUE(com::FAILED(module_.RegisterServer(true, true, "", "")));
  EXPECT_THAT(events_, ::testing::ElementsAre("32bit service cannot override the 64bit service"));
  EXPECT_FALSE(ClassesRegistered());
  EXPECT_EQ(Read(Unit()), unitBefore);
}

TEST_F(Registration, UnregisterFromAForeignCopyRemovesOnlyTheClasses) {
  ASSERT_EQ(module_.RegisterServer(true, true, "", ""), com::S_OK);
  env_.system().moduleFolder = "/srv/other";
  events_.clear();
  EXPECT_EQ(module_.UnregisterServer(), com::S_OK);  // exit code 0 whatever happened
  EXPECT_THAT(events_, ::testing::ElementsAre("Not able to unregister. Not this service."));
  EXPECT_TRUE(fs::exists(Unit()));
  EXPECT_EQ(Value(kServicesKey, "ImagePath"), "\"/opt/kelvarin/bin/kelvarin\"");
  EXPECT_FALSE(ClassesRegistered());
  EXPECT_FALSE(fs::exists(Interfaces()));
}

TEST_F(Registration, UnregisterStopsWaitsAndDeletes) {
  struct Case {
    int deactivatingAnswers;
    std::vector<int> sleeps;
  } cases[] = {
      {0, {100}},
      {2, {500, 500, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deactivatingAnswers);
    ASSERT_EQ(module_.RegisterServer(true, true, "", ""), com::S_OK);
    calls_.clear();
    sleeps_.clear();
    activeAnswers_ = c.deactivatingAnswers;
    EXPECT_EQ(module_.UnregisterServer(), com::S_OK);
    EXPECT_EQ(sleeps_, c.sleeps);
    ASSERT_GE(calls_.size(), 4u);
    EXPECT_EQ(calls_.front(), "stop --no-block CalculatorServerService.service");
    EXPECT_EQ(calls_[calls_.size() - 2], "disable CalculatorServerService.service");
    EXPECT_EQ(calls_.back(), "daemon-reload");
    for (const std::string& f : {Unit(), Policy(), Activation(), Interfaces()}) EXPECT_FALSE(fs::exists(f)) << f;
    EXPECT_FALSE(env_.registry().KeyExists(RegHive::LocalMachine, kServicesKey));
    EXPECT_FALSE(ClassesRegistered());
    // The AppID entries stay.
    EXPECT_EQ(Value(std::string(kClassesKey) + "\\AppID\\" + kAppId, "LocalService"), "CalculatorServerService");
  }
}

// Sixty 500 ms pauses without a stop: the command fails and removes nothing, so it can be
// repeated once the service has stopped.
TEST_F(Registration, UnregisterOfAServiceThatDoesNotStopFailsAndKeepsIt) {
  ASSERT_EQ(module_.RegisterServer(true, true, "", ""), com::S_OK);
  calls_.clear();
  sleeps_.clear();
  activeAnswers_ = 1000;
  events_.clear();
  const com::HRESULT hr = module_.UnregisterServer();
  EXPECT_EQ(hr, kServiceNotStopped);
  EXPECT_NE(ExitCodeOf(hr), 0);
  EXPECT_EQ(sleeps_, std::vector<int>(60, 500));
  EXPECT_THAT(events_, ::testing::Contains("Failed call to ControlService: the service did not stop within 30 s"));
  EXPECT_THAT(calls_, ::testing::Not(::testing::Contains("disable CalculatorServerService.service")));
  for (const std::string& f : {Unit(), Policy(), Activation(), Interfaces()}) EXPECT_TRUE(fs::exists(f)) << f;
  EXPECT_TRUE(env_.registry().KeyExists(RegHive::LocalMachine, kServicesKey));
  EXPECT_TRUE(ClassesRegistered());
}

TEST_F(Registration, AFailedInstallLeavesNoFileAndFails) {
  struct Case {
    const char* name;
    std::function<void(Registration&)> arrange;
    std::string message;
  } cases[] = {
      {"unit folder missing", [](Registration& t) { fs::remove_all(t.env_.Path("units")); },
       "Failed call to OpenSCManager: No such file or directory"},
      {"policy cannot be written",
       [](Registration& t) {
         t.module_.HelperOptions().writeFile = [](const std::string& path, const std::string& data) {
           return path.find("/policy/") != std::string::npos ? EACCES : WriteFileAtomically(path, data);
         };
       },
       "Failed call to CreateService: Permission denied"},
      {"systemctl enable fails", [](Registration& t) { t.enableStatus_ = 1; },
       "Failed call to CreateService: systemctl enable exited with status 1"},
      {"the account does not exist", [](Registration& t) { t.account_ = "nosuchuser42"; },
       "Failed call to CreateService: no account named \"nosuchuser42\" exists"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Registration& t = *this;
    c.arrange(t);
    events_.clear();
    const com::HRESULT hr = module_.RegisterServer(true, true, account_, "");
    EXPECT_TRUE(com::FAILED(hr));
    EXPECT_NE(ExitCodeOf(hr), 0);
    EXPECT_THAT(events_, ::testing::Contains(c.message));
    for (const std::string& f : {Unit(), Policy(), Activation()}) EXPECT_FALSE(fs::exists(f)) << f;
    EXPECT_FALSE(env_.registry().KeyExists(RegHive::LocalMachine, kServicesKey));
    EXPECT_FALSE(ClassesRegistered());
    // Put things back for the next case.
    fs::create_directories(env_.Path("units"));
    module_.HelperOptions().writeFile = nullptr;
    enableStatus_ = 0;
    account_.clear();
  }
}

TEST(RegistrationExitCode, AFailureNeverExitsZero) {
  EXPECT_EQ(ExitCodeOf(com::S_OK), 0);
  EXPECT_EQ(ExitCodeOf(com::E_FAIL), 5);
  EXPECT_EQ(ExitCodeOf(static_cast<com::HRESULT>(0x80070100u)), 1);
}

}  // namespace
}  // namespace kv::app
