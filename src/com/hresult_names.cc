#include "com/hresult_names.h"

#include <cstdint>

namespace kv::com {

namespace {

struct Row {
  HRESULT hr;
  HResultName names;
};

// Every failure constant of hresult.h, plus the Win32 errors the store wraps.
constexpr Row kRows[] = {
    {E_NOTIMPL, {"E_NOTIMPL", "not implemented"}},
    {E_NOINTERFACE, {"E_NOINTERFACE", "no such interface supported"}},
    {E_POINTER, {"E_POINTER", "invalid pointer"}},
    {E_FAIL, {"E_FAIL", "unspecified failure"}},
    {E_UNEXPECTED, {"E_UNEXPECTED", "unexpected failure"}},
    {E_ACCESSDENIED, {"E_ACCESSDENIED", "access denied"}},
    {E_OUTOFMEMORY, {"E_OUTOFMEMORY", "out of memory"}},
    {E_INVALIDARG, {"E_INVALIDARG", "invalid argument"}},
    {DISP_E_UNKNOWNINTERFACE, {"DISP_E_UNKNOWNINTERFACE", "unknown interface"}},
    {DISP_E_MEMBERNOTFOUND, {"DISP_E_MEMBERNOTFOUND", "member not found"}},
    {DISP_E_PARAMNOTFOUND, {"DISP_E_PARAMNOTFOUND", "parameter not found"}},
    {DISP_E_TYPEMISMATCH, {"DISP_E_TYPEMISMATCH", "type mismatch"}},
    {DISP_E_UNKNOWNNAME, {"DISP_E_UNKNOWNNAME", "unknown name"}},
    {DISP_E_BADVARTYPE, {"DISP_E_BADVARTYPE", "bad variable type"}},
    {DISP_E_EXCEPTION, {"DISP_E_EXCEPTION", "exception occurred"}},
    {DISP_E_OVERFLOW, {"DISP_E_OVERFLOW", "out of present range"}},
    {DISP_E_BADINDEX, {"DISP_E_BADINDEX", "invalid index"}},
    {DISP_E_BADPARAMCOUNT, {"DISP_E_BADPARAMCOUNT", "invalid number of parameters"}},
    {DISP_E_PARAMNOTOPTIONAL, {"DISP_E_PARAMNOTOPTIONAL", "parameter not optional"}},
    {CLASS_E_NOAGGREGATION, {"CLASS_E_NOAGGREGATION", "class does not support aggregation"}},
    {REGDB_E_CLASSNOTREG, {"REGDB_E_CLASSNOTREG", "class not registered"}},
    {CO_E_CLASSSTRING, {"CO_E_CLASSSTRING", "invalid class string"}},
    {HResultFromWin32(2), {"ERROR_FILE_NOT_FOUND", "file not found"}},
    {HResultFromWin32(3), {"ERROR_PATH_NOT_FOUND", "path not found"}},
    {HResultFromWin32(112), {"ERROR_DISK_FULL", "not enough space on the disk"}},
    {HResultFromWin32(183), {"ERROR_ALREADY_EXISTS", "already exists"}},
    {HResultFromWin32(1168), {"ERROR_NOT_FOUND", "element not found"}},
};

}  // namespace

const HResultName* FindHResultName(HRESULT hr) {
  for (const Row& r : kRows)
    if (r.hr == hr) return &r.names;
  return nullptr;
}

std::string DescribeHResult(HRESULT hr) {
  if (const HResultName* n = FindHResultName(hr)) return std::string(n->name) + ": " + n->text;
  const uint32_t u = static_cast<uint32_t>(hr);
  if (FAILED(hr) && (u & 0xFFFF0000u) == 0x80070000u)
    return "HRESULT_FROM_WIN32(" + std::to_string(u & 0xFFFFu) + ")";
  return {};
}

}  // namespace kv::com
