#pragma once
// Intrusive reference counting and interface queries. An interface is a C++ abstract class
// deriving virtually from IUnknown; QueryInterface is a dynamic_cast, so an object that does not
// implement an interface simply does not answer it.
#include <atomic>
#include <cstdint>
#include <utility>

namespace kv::com {

class IUnknown {
 public:
  virtual uint32_t AddRef() = 0;
  // Deletes the object when the count reaches 0.
  virtual uint32_t Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

// Owning smart pointer (AddRef on copy, Release on destruction), as CComPtr.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference.
  ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.Get())) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(const ComPtr& o) {
    ComPtr(o).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    ComPtr(std::move(o)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  // Adopts a reference the caller already owns (no AddRef).
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  void Reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }
  // Hands the reference to the caller.
  T* Detach() { return std::exchange(p_, nullptr); }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

// The interface `I` of `p`, or null when the object does not answer it.
template <class I, class T>
ComPtr<I> QueryInterface(T* p) {
  if (!p) return nullptr;
  return ComPtr<I>(dynamic_cast<I*>(p));
}
template <class I, class T>
ComPtr<I> QueryInterface(const ComPtr<T>& p) {
  return QueryInterface<I>(p.Get());
}

// Implements the reference count for a class that implements interfaces `Ifaces...`.
template <class... Ifaces>
class ComObject : public Ifaces... {
 public:
  uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    uint32_t n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }

 protected:
  ComObject() = default;
  ~ComObject() override = default;

 private:
  std::atomic<uint32_t> refs_{0};
};

// Creates a ref-counted object and returns the first reference.
template <class T, class... Args>
ComPtr<T> MakeCom(Args&&... args) {
  return ComPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace kv::com
