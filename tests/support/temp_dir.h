#pragma once
// A private scratch folder under the system's temporary directory, removed with everything in it
// when the object goes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kv::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvarin-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (!made) ADD_FAILURE() << "mkdtemp failed";
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

}  // namespace kv::testing
