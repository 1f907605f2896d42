#pragma once
// A process-wide table of interface pointers, handed out by cookie: an object registered by one
// thread is fetched by any other as a reference of its own. Our objects may be called from any
// thread, so fetching is a counted copy; the table exists so that the gate keeps the shape (and
// the failure paths) of fetching the service per call. Thread-safe.
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "com/hresult.h"
#include "com/unknown.h"

namespace kv::security {

class GlobalInterfaceTable {
 public:
  GlobalInterfaceTable() = default;
  virtual ~GlobalInterfaceTable() = default;
  GlobalInterfaceTable(const GlobalInterfaceTable&) = delete;
  GlobalInterfaceTable& operator=(const GlobalInterfaceTable&) = delete;

  // Keeps a reference to `object` and gives its cookie (never 0). E_INVALIDARG for null.
  virtual com::HRESULT Register(com::ComPtr<com::IUnknown> object, uint32_t* cookie);
  // A new reference to the object of `cookie`; E_INVALIDARG (and null) for an unknown cookie.
  virtual com::HRESULT Fetch(uint32_t cookie, com::ComPtr<com::IUnknown>* object);
  // Drops the table's reference; E_INVALIDARG for an unknown cookie.
  virtual com::HRESULT Revoke(uint32_t cookie);

 private:
  std::mutex mu_;
  uint32_t next_ = 1;
  std::unordered_map<uint32_t, com::ComPtr<com::IUnknown>> objects_;
};

}  // namespace kv::security
