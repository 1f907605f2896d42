#pragma once
// BSTR: a UTF-16 string that may be null (distinct from empty), as automation passes them.
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::com {

class Bstr {
 public:
  Bstr() = default;  // null
  explicit Bstr(std::u16string s) : s_(std::move(s)), null_(false) {}
  static Bstr Null() { return Bstr(); }
  static Bstr FromUtf8(std::string_view s);

  bool IsNull() const { return null_; }
  // Null and empty both have length 0, as SysStringLen answers.
  size_t Length() const { return s_.size(); }
  uint32_t ByteLength() const { return static_cast<uint32_t>(s_.size() * 2); }
  const std::u16string& Wide() const { return s_; }
  // The narrow (UTF-8) form; a null BSTR gives "".
  std::string ToUtf8() const;

  friend bool operator==(const Bstr& a, const Bstr& b) { return a.null_ == b.null_ && a.s_ == b.s_; }

 private:
  std::u16string s_;
  bool null_ = true;
};

}  // namespace kv::com
