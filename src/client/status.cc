#include "client/status.h"

#include <cstdio>

#include "com/hresult.h"

namespace kv::client {

namespace {

const char* HResultName(int32_t hr) {
  struct Known {
    com::HRESULT hr;
    const char* name;
  };
  static const Known kKnown[] = {
      {com::E_NOTIMPL, "E_NOTIMPL"},
      {com::E_NOINTERFACE, "E_NOINTERFACE"},
      {com::E_POINTER, "E_POINTER"},
      {com::E_FAIL, "E_FAIL"},
      {com::E_UNEXPECTED, "E_UNEXPECTED"},
      {com::E_ACCESSDENIED, "E_ACCESSDENIED"},
      {com::E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {com::E_INVALIDARG, "E_INVALIDARG"},
      {com::DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
      {com::DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
      {com::DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
      {com::DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
      {com::REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
      {com::CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
  };
  for (const Known& k : kKnown)
    if (k.hr == hr) return k.name;
  return nullptr;
}

}  // namespace

std::string Status::ToString() const {
  if (ok()) return "ok";
  if (hresult_) {
    char buf[64];
    const char* name = HResultName(hresult_);
    std::snprintf(buf, sizeof buf, "the server answered HRESULT 0x%08X%s%s%s", static_cast<unsigned>(hresult_),
                  name ? " (" : "", name ? name : "", name ? ")" : "");
    return buf;
  }
  if (remoteName_.empty()) return message_;
  return message_.empty() ? remoteName_ : remoteName_ + ": " + message_;
}

}  // namespace kv::client
