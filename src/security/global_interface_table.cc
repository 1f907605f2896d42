#include "security/global_interface_table.h"

namespace kv::security {

com::HRESULT GlobalInterfaceTable::Register(com::ComPtr<com::IUnknown> object, uint32_t* cookie) {
  *cookie = 0;
  if (!object) return com::E_INVALIDARG;
  std::lock_guard lock(mu_);
  uint32_t c = next_++;
  if (next_ == 0) next_ = 1;
  objects_[c] = std::move(object);
  *cookie = c;
  return com::S_OK;
}

com::HRESULT GlobalInterfaceTable::Fetch(uint32_t cookie, com::ComPtr<com::IUnknown>* object) {
  std::lock_guard lock(mu_);
  auto it = objects_.find(cookie);
  if (it == objects_.end()) {
    *object = nullptr;
    return com::E_INVALIDARG;
  }
  *object = it->second;
  return com::S_OK;
}

com::HRESULT GlobalInterfaceTable::Revoke(uint32_t cookie) {
  com::ComPtr<com::IUnknown> dropped;
  std::lock_guard lock(mu_);
  auto it = objects_.find(cookie);
  if (it == objects_.end()) return com::E_INVALIDARG;
  dropped = std::move(it->second);
  objects_.erase(it);
  return com::S_OK;
}

}  // namespace kv::security
