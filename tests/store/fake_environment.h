#pragma once
// A calculation environment that serves objects from a map and records what it was asked, so
// the store's own logic is tested apart from the real components.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "components/calc_components.h"

namespace kv::testing {

using com::HRESULT;
using components::IZrCalculation;
using components::IZrCalcEnvironment;

class FakeCalc : public com::ComObject<IZrCalculation, com::IDispatch> {
 public:
  explicit FakeCalc(int16_t summary) : summary_(summary) {}
  HRESULT SetCreationTime(double) override { return com::S_OK; }
  HRESULT SetSaveTime(double) override { return com::S_OK; }
  HRESULT SetNewState(long) override { return com::S_OK; }
  HRESULT GetOwnerString(com::Bstr* o) override { *o = com::Bstr(u""); return com::S_OK; }
  HRESULT SetOwnerString(const com::Bstr&) override { return com::S_OK; }
  HRESULT SetEditState(long) override { return com::S_OK; }
  HRESULT GetCalcType(long* t) override { *t = 4; return com::S_OK; }
  HRESULT GetName(com::Bstr* n) override { *n = com::Bstr(u"fake"); return com::S_OK; }
  HRESULT SetName(const com::Bstr&) override { return com::S_OK; }
  HRESULT SetCalcType(long) override { return com::S_OK; }
  HRESULT SetCalcScript(const com::Bstr&) override { return com::S_OK; }
  HRESULT GetParameters(com::ComPtr<components::IZrParameters>* p) override { *p = nullptr; return com::S_OK; }
  HRESULT GetParameter(const com::Bstr&, com::ComPtr<com::IDispatch>* p) override { *p = nullptr; return com::S_FALSE; }
  HRESULT Run(const components::RunRequest&, components::RunOutcome*) override { return com::S_OK; }
  HRESULT Calculate() override { return com::S_OK; }
  HRESULT CheckFormula() override { return com::S_OK; }
  HRESULT GetSummaryState(int16_t* s) override { *s = summary_; return com::S_OK; }
  HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(com::DISPID, uint16_t, std::vector<com::Variant>&, com::Variant*) override {
    return com::DISP_E_MEMBERNOTFOUND;
  }

 private:
  int16_t summary_;
};

class FakeEnvironment : public com::ComObject<IZrCalcEnvironment> {
 public:
  // (directory argument as UTF-8, "<null>" for null; name) -> object
  std::map<std::pair<std::string, std::string>, com::ComPtr<com::IDispatch>> calcs;
  std::map<std::string, com::ComPtr<com::IDispatch>> libs;
  std::vector<std::string> asked;  // every name asked for, in order

  static std::string DirKey(const com::Bstr& dir) { return dir.IsNull() ? "<null>" : dir.ToUtf8(); }

  HRESULT GetCalculation(const com::Bstr& name, const com::Bstr& dir, com::ComPtr<com::IDispatch>* out) override {
    asked.push_back(name.ToUtf8());
    auto it = calcs.find({DirKey(dir), name.ToUtf8()});
    *out = it == calcs.end() ? nullptr : it->second;
    return *out ? com::S_OK : com::S_FALSE;
  }
  HRESULT GetLibrary(const com::Bstr& name, com::ComPtr<com::IDispatch>* out) override {
    asked.push_back(name.ToUtf8());
    auto it = libs.find(name.ToUtf8());
    *out = it == libs.end() ? nullptr : it->second;
    return *out ? com::S_OK : com::S_FALSE;
  }
  HRESULT AttachThread() override { return com::S_OK; }
  HRESULT DetachThread() override { return com::S_OK; }
  HRESULT RemoveLibrary(const com::Bstr&) override { return com::S_OK; }
  HRESULT RemoveCalculation(const com::Bstr&) override { return com::S_OK; }
  HRESULT LoadCalculationFile(const com::Bstr&, const com::Bstr&, com::ComPtr<com::IDispatch>*) override {
    return com::E_FAIL;
  }
  HRESULT LoadLibraryFile(const com::Bstr&, const com::Bstr&, com::ComPtr<com::IDispatch>*) override {
    return com::E_FAIL;
  }
  HRESULT EnvAdoConnect(const com::Bstr&, const com::Bstr&, const com::Bstr&, long, com::Variant*) override {
    return com::E_NOTIMPL;
  }
  HRESULT EnvAdoClose(const com::Bstr&, com::Variant*) override { return com::E_NOTIMPL; }
  HRESULT EnvAdoQueryInfo(const com::Bstr&, const com::Bstr&, com::Variant*, com::Variant*, com::Variant*) override {
    return com::E_NOTIMPL;
  }
  HRESULT LibraryFormulaSaved(const com::Bstr&, const com::Bstr&) override { return com::S_OK; }
  HRESULT SetUnitConversionObject(com::IDispatch*) override { return com::S_OK; }
  HRESULT SetBasePath(const com::Bstr&) override { return com::S_OK; }
};

}  // namespace kv::testing
