#include "log/error_log.h"

#include <cstdio>
#include <mutex>

namespace kv::log {
namespace {
std::mutex g_mu;
ErrorSink g_sink;
}  // namespace

void LogError(std::string_view message, std::string_view detail) {
  ErrorSink sink;
  {
    std::lock_guard lock(g_mu);
    sink = g_sink;
  }
  try {
    if (sink) {
      sink(message, detail);
      return;
    }
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(message.size()), message.data(),
                 static_cast<int>(detail.size()), detail.data());
  } catch (...) {
  }
}

ErrorSink SetErrorSink(ErrorSink sink) {
  std::lock_guard lock(g_mu);
  std::swap(g_sink, sink);
  return sink;
}

}  // namespace kv::log
