#pragma once
// What an exception escaping server code means as a status, in one place: code that answers
// with a status runs work that may throw (a machine fault translated into an exception
// included) through ContainedCall rather than a try block of its own.
#include <new>
#include <type_traits>

#include "com/hresult.h"

namespace kv::com {

// Runs `body`, which returns an HRESULT or nothing (counted as S_OK), and gives its status. An
// exception that escapes it gives E_OUTOFMEMORY when it is std::bad_alloc, else E_UNEXPECTED;
// `onFault` sees that status first and gives the one to answer (for a caller that also owes an
// error text).
template <class Body, class OnFault>
HRESULT ContainedCall(Body&& body, OnFault&& onFault) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
      body();
      return S_OK;
    } else {
      return body();
    }
  } catch (const std::bad_alloc&) {
    return onFault(E_OUTOFMEMORY);
  } catch (...) {
    return onFault(E_UNEXPECTED);
  }
}

template <class Body>
HRESULT ContainedCall(Body&& body) noexcept {
  return ContainedCall(body, [](HRESULT hr) noexcept { return hr; });
}

}  // namespace kv::com
