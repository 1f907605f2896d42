#pragma once
// Shared pieces of the engine tests: a scratch folder, the server objects the components use,
// captured error lines and property reads along dotted paths.
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "com/dispatch.h"
#include "components/server_objects.h"
#include "engine/server_context.h"
#include "log/error_log.h"
#include "platform/env.h"
#include "platform/path.h"
#include "support/temp_dir.h"

namespace kv::engine::testing {

// A private folder removed afterwards. W() builds the Windows-form paths the callers use.
class ScratchDir {
 public:
  const std::string& Path() const { return dir_.path(); }
  std::string W(std::string_view rel) const { return platform::JoinPath(dir_.path(), rel); }
  void MakeDir(std::string_view rel) const { std::filesystem::create_directories(platform::ToFsPath(W(rel))); }
  void Write(std::string_view rel, std::string_view data) const {
    ASSERT_EQ(platform::RealFileSystem().WriteFileAtomic(W(rel), data), 0) << rel;
  }

 private:
  kv::testing::TempDir dir_;
};

// The server objects the components reach while it lives (the previous ones come back after):
// `platform` (the environment the test installed, by default) and the calculation environment a
// test puts in `environment`.
class ScopedServerObjects : public components::IServerObjects {
 public:
  explicit ScopedServerObjects(platform::Env& platform = platform::Env::Current())
      : platform_(platform), previous_(ServerObjects()) {
    SetServerObjects(this);
  }
  ~ScopedServerObjects() override { SetServerObjects(previous_); }
  // Whether the calling client may change shared objects, as CallerMayChange answers.
  bool callerMayChange = true;
  std::vector<components::SharedObject> asked;
  bool CallerMayChange(components::SharedObject kind) override {
    asked.push_back(kind);
    return callerMayChange;
  }
  // Whether the calling client may run calculations, as CallerMayRun answers.
  bool callerMayRun = true;
  bool CallerMayRun() override { return callerMayRun; }
  // The request OnDemandRunRequest answers: store-and-forward as a test configures it.
  bool storeAndForward = false;
  components::RunRequest OnDemandRunRequest() override {
    components::RunRequest request;
    request.storeAndForward = storeAndForward;
    return request;
  }
  ScopedServerObjects(const ScopedServerObjects&) = delete;
  ScopedServerObjects& operator=(const ScopedServerObjects&) = delete;

  com::ComPtr<components::IZrCalcEnvironment> Environment() override { return environment; }
  platform::Env& Platform() override { return platform_; }

  com::ComPtr<components::IZrCalcEnvironment> environment;

 private:
  platform::Env& platform_;
  components::IServerObjects* previous_;
};

// Collects the error lines written while it lives.
class ErrorCapture {
 public:
  ErrorCapture() {
    prev_ = log::SetErrorSink([this](std::string_view message, std::string_view detail) {
      std::lock_guard lock(mu_);
      lines_.push_back(std::string(message) + ": " + std::string(detail));
    });
  }
  ~ErrorCapture() { log::SetErrorSink(prev_); }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
  log::ErrorSink prev_;
};

// Reads "A.B.C": every name but the last must give an object.
inline com::HRESULT GetPath(com::IDispatch* obj, std::string_view path, com::Variant* out) {
  com::ComPtr<com::IDispatch> cur(obj);
  for (;;) {
    const size_t dot = path.find('.');
    com::HRESULT hr = com::GetProperty(cur.Get(), path.substr(0, dot), out);
    if (com::FAILED(hr) || dot == std::string_view::npos) return hr;
    if (out->vt() != com::VT_DISPATCH) return com::DISP_E_TYPEMISMATCH;
    cur = out->dispatch();
    path.remove_prefix(dot + 1);
  }
}

}  // namespace kv::engine::testing
