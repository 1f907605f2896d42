// The registration switches: the service (through ZrServiceHelpers), the AppID and class
// entries in the registry store, and the type library (the introspection XML, in a file whose
// path the TypeLib entry names).
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include <algorithm>

#include "app/service_files.h"
#include "app/service_module.h"
#include "app/service_names.h"
#include "config/config.h"
#include "platform/env.h"
#include "platform/path.h"

namespace kv::app {

namespace {

using com::E_FAIL;
using com::HRESULT;
using com::S_OK;
using platform::RegHive;
using platform::RegValue;

std::string Key(const std::string& a, const std::string& b = "", const std::string& c = "") {
  std::string k = std::string(kClassesKey) + "\\" + a;
  if (!b.empty()) k += "\\" + b;
  if (!c.empty()) k += "\\" + c;
  return k;
}

constexpr char kTypeLibVersion[] = "1.0";

}  // namespace

void CServiceModule::ConfigureInstallation() {
  ZrServiceHelpers::Options& o = helperOptions_;
  o.places = InstallPlaces::FromEnvironment(*env_.system);
  o.systemctl = RealSystemctl(*env_.system);
  auto folderOf = [](const std::string& file) {
    size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
  };
  // The service runs with the registry and data folders of the installing process, so the
  // account it runs under finds the same store whatever its home.
  o.registryDir = folderOf(env_.registry->FileOf(RegHive::LocalMachine));
  o.programDataDir = env_.system->CommonAppDataFolder();
  o.writablePaths.clear();
  const std::string dataFolder = o.programDataDir.empty() ? "" : o.programDataDir + "/Quorlith";  // logs, store
  for (const std::string& p : {platform::ToFsPath(config::LookupBasePath(env_)), dataFolder, o.registryDir,
                               folderOf(env_.registry->FileOf(RegHive::CurrentUser))})
    if (!p.empty() && std::find(o.writablePaths.begin(), o.writablePaths.end(), p) == o.writablePaths.end())
      o.writablePaths.push_back(p);
}

bool CServiceModule::IsInstalled() {
  ZrServiceHelpers helpers(env_, helperOptions_);
  bool installed = false;
  std::string error;
  if (com::FAILED(helpers.IsInstalled(kServiceName, &installed, &error))) {
    LogEvent(error);
    std::cerr << "kelvarin: " << error << "\n";
    return false;
  }
  return installed;
}

bool CServiceModule::Install(const std::string& account, const std::string& password) {
  ZrServiceHelpers helpers(env_, helperOptions_);
  std::string error;
  if (com::FAILED(helpers.Install(kServiceName, kServiceDisplayName, kServiceDescription, account, password, &error))) {
    LogEvent(error);
    std::cerr << "kelvarin: " << error << "\n";
    return false;
  }
  return true;
}

bool CServiceModule::UpdateService(const std::string& account, const std::string& password) {
  ZrServiceHelpers helpers(env_, helperOptions_);
  std::string error;
  if (com::FAILED(
          helpers.UpdateService(kServiceName, kServiceDisplayName, kServiceDescription, account, password, &error))) {
    LogEvent(error);
    std::cerr << "kelvarin: " << error << "\n";
    return false;
  }
  return true;
}

HRESULT CServiceModule::Uninstall() {
  ZrServiceHelpers helpers(env_, helperOptions_);
  std::string error;
  const HRESULT hr = helpers.Uninstall(kServiceName, &error);
  if (com::FAILED(hr)) {
    LogEvent(error);
    std::cerr << "kelvarin: " << error << "\n";
  }
  return hr;
}

void CServiceModule::RegisterClassEntries() {
  platform::RegistryStore& reg = *env_.registry;
  const std::string module = env_.system->ModulePath();  // "%MODULE%"
  for (const RegisteredClass& c : kRegisteredClasses) {
    // The CLSID key is replaced whole; its parents stay.
    reg.DeleteKey(RegHive::LocalMachine, Key("CLSID", c.clsid));
    reg.SetValue(RegHive::LocalMachine, Key("CLSID", c.clsid), "", RegValue::String(c.name));
    reg.SetValue(RegHive::LocalMachine, Key("CLSID", c.clsid), "AppID", RegValue::String(kAppId));
    reg.SetValue(RegHive::LocalMachine, Key("CLSID", c.clsid, "ProgID"), "", RegValue::String(c.progId));
    reg.SetValue(RegHive::LocalMachine, Key("CLSID", c.clsid, "VersionIndependentProgID"), "",
                 RegValue::String(c.indepProgId));
    reg.CreateKey(RegHive::LocalMachine, Key("CLSID", c.clsid, "Programmable"));
    reg.SetValue(RegHive::LocalMachine, Key("CLSID", c.clsid, "LocalServer32"), "", RegValue::String(module));
    reg.SetValue(RegHive::LocalMachine, Key("CLSID", c.clsid, "LocalServer32"), "ThreadingModel",
                 RegValue::String("Both"));
    reg.SetValue(RegHive::LocalMachine, Key("CLSID", c.clsid, "TypeLib"), "", RegValue::String(kTypeLibId));
    for (const char* progId : {c.progId, c.indepProgId}) {
      reg.SetValue(RegHive::LocalMachine, Key(progId), "", RegValue::String(c.name));
      reg.SetValue(RegHive::LocalMachine, Key(progId, "CLSID"), "", RegValue::String(c.clsid));
    }
    reg.SetValue(RegHive::LocalMachine, Key(c.indepProgId, "CurVer"), "", RegValue::String(c.progId));
  }
}

void CServiceModule::UnregisterClassEntries() {
  platform::RegistryStore& reg = *env_.registry;
  for (const RegisteredClass& c : kRegisteredClasses) {
    reg.DeleteKey(RegHive::LocalMachine, Key("CLSID", c.clsid));
    reg.DeleteKey(RegHive::LocalMachine, Key(c.progId));
    reg.DeleteKey(RegHive::LocalMachine, Key(c.indepProgId));
  }
}

HRESULT CServiceModule::RegisterTypeLib() {
  const std::string path = helperOptions_.places.interfacesDir + "/" + kInterfacesFileName;
  auto write = helperOptions_.writeFile ? helperOptions_.writeFile : WriteFileAtomically;
  if (int err = write(path, InterfacesXmlText()); err != 0) {
    const std::string text = "Failed to write the type library " + path + ": " + ZrServiceHelpers::SystemErrorText(err);
    LogEvent(text);
    std::cerr << "kelvarin: " << text << "\n";
    return com::HResultFromWin32(static_cast<uint32_t>(err));
  }
  platform::RegistryStore& reg = *env_.registry;
  const std::string key = Key("TypeLib", kTypeLibId, kTypeLibVersion);
  reg.SetValue(RegHive::LocalMachine, key, "", RegValue::String("Kelvarin Type Library"));
  reg.SetValue(RegHive::LocalMachine, key + "\\0\\linux", "", RegValue::String(path));
  reg.SetValue(RegHive::LocalMachine, key + "\\FLAGS", "", RegValue::String("0"));
  return S_OK;
}

void CServiceModule::UnregisterTypeLib() {
  env_.registry->DeleteKey(RegHive::LocalMachine, Key("TypeLib", kTypeLibId));
  ::unlink((helperOptions_.places.interfacesDir + "/" + kInterfacesFileName).c_str());
}

namespace {

// The AppID entries and the two values that tie the AppID to the service. kRegOk or the
// registry store's error.
long RegisterAppId(platform::RegistryStore& reg) {
  const std::string appKey = Key("AppID", kAppId);
  reg.SetValue(RegHive::LocalMachine, appKey, "", RegValue::String(kServiceDisplayName));
  reg.SetValue(RegHive::LocalMachine, Key("AppID", kAppIdExeName), "AppID", RegValue::String(kAppId));
  if (long err = reg.SetValue(RegHive::LocalMachine, appKey, "LocalService", RegValue::String(kServiceName));
      err != platform::kRegOk)
    return err;
  return reg.SetValue(RegHive::LocalMachine, appKey, "ServiceParameters", RegValue::String("-Service"));
}

}  // namespace

HRESULT CServiceModule::RegisterServer(bool registerTypeLib, bool service, const std::string& account,
                                       const std::string& password) {
  const bool installed = service && IsInstalled();
  // A service that could not be updated (another copy's, say) leaves everything unregistered;
  // that is a failure, not the success the COM status would report.
  if (installed && !UpdateService(account, password)) return E_FAIL;
  if (long err = RegisterAppId(*env_.registry); err != platform::kRegOk)
    return com::HResultFromWin32(static_cast<uint32_t>(err));
  if (service && !installed && !Install(account, password)) return E_FAIL;
  RegisterClassEntries();
  const HRESULT hr = registerTypeLib ? RegisterTypeLib() : S_OK;
  // Last, so that the registry files just written belong to the account as well.
  if (service) PrepareServiceFolders(helperOptions_.writablePaths, account);
  return hr;
}

HRESULT CServiceModule::RegisterServerDebug() {
  if (long err = RegisterAppId(*env_.registry); err != platform::kRegOk)
    return com::HResultFromWin32(static_cast<uint32_t>(err));
  RegisterClassEntries();
  return RegisterTypeLib();
}

HRESULT CServiceModule::UnregisterServer() {
  // Other failures are only reported; a service still running keeps everything, so that the
  // command fails and can be repeated once it stops.
  if (const HRESULT hr = Uninstall(); hr == kServiceNotStopped) return hr;
  UnregisterClassEntries();
  UnregisterTypeLib();
  return S_OK;
}

}  // namespace kv::app
