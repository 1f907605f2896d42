#pragma once
// An environment variable set (or, with nullopt, unset) for a scope, the old value put back
// after it.
#include <stdlib.h>

#include <optional>
#include <string>

namespace kv::testing {

class ScopedVar {
 public:
  ScopedVar(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedVar() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  // nullptr unsets.
  ScopedVar(const char* name, const char* value)
      : ScopedVar(name, value ? std::optional<std::string>(value) : std::nullopt) {}
  ScopedVar(const ScopedVar&) = delete;
  ScopedVar& operator=(const ScopedVar&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace kv::testing
