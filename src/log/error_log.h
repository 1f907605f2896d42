#pragma once
// Error lines from deep inside the engine and the platform layer (damaged files, failed writes).
// Until the diagnostic log is initialised they go to standard error; the service host points the
// sink at the log file. Never throws; thread-safe.
#include <functional>
#include <string>
#include <string_view>

namespace kv::log {

using ErrorSink = std::function<void(std::string_view message, std::string_view detail)>;

// Writes "message: detail" to the current sink.
void LogError(std::string_view message, std::string_view detail);

// Replaces the sink (an empty function restores standard error); returns the previous one.
ErrorSink SetErrorSink(ErrorSink sink);

}  // namespace kv::log
