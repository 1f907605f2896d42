#pragma once
// The symbolic names and short texts of the failure statuses this system produces, so that a
// reader of an error (a client, a log) need not look the number up.
#include <string>

#include "com/hresult.h"

namespace kv::com {

struct HResultName {
  const char* name;  // "CO_E_CLASSSTRING"
  const char* text;  // "invalid class string"
};

// The name and text of `hr`; nullptr for a status the table does not know.
const HResultName* FindHResultName(HRESULT hr);

// "CO_E_CLASSSTRING: invalid class string"; for an unknown status wrapping a Win32 error number
// "HRESULT_FROM_WIN32(<n>)"; otherwise empty.
std::string DescribeHResult(HRESULT hr);

}  // namespace kv::com
