#pragma once
// The diagnostic log: one UTF-16LE text file per process and user, with categories switched on
// in the registry store and a size limit past which the file starts afresh. Lines look like
// "(<thread id>) MM/DD/YYYY hh:mm:ss.mmm message: detail" with CR LF line ends.
//
// Never throws and never reports a failure to its callers; an unopenable file produces the
// message "Failed to open file: [Access Denied: ]<errno>" on standard error (the debugger
// output) and the line is lost, as is a line that cannot be written. With no folder at all (no
// common data folder and no module folder) the lines go to standard error as UTF-8, after one
// line saying so: a name built from the other parts alone would land in whatever directory the
// process runs in. Thread-safe: lines never interleave.
//
// Everything it reaches of the platform (registry settings, folders, the file, the clock and
// the user name) comes from the environment it is initialised with; until Init there is none,
// and lines are dropped.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "com/hresult.h"
#include "com/variant.h"

namespace kv {
namespace platform {
struct Env;
}  // namespace platform

enum class LogCategory { Errors, Methods, Calls, InParams, Results, Steps, Validation, Security };
inline constexpr int kLogCategoryCount = 8;

enum class LogKind { Kelvarin = 0, MorvaneCalc = 1, CalcHistory = 2, CalcFunctions = 3 };

class DebugLog {
 public:
  DebugLog();

  // Reads the categories and "LogSize" from HKLM "SOFTWARE\Quorlith\Morvane Calc\Logging\<log
  // name>", records the name and version parts, the executable's base name, the module folder
  // and the log folder (common application data + "\Quorlith\DiagnosticLogs\Morvane Calc\",
  // created level by level). `kind` outside 0..3 leaves the log name empty and the flags as
  // constructed. Everything after goes through `env`, which must outlive the log (or the next
  // Init or ResetForTest). Call once, before other threads write.
  void Init(platform::Env& env, int kind, std::string_view namePart, std::string_view versionPart);

  bool IsOn(LogCategory category) const;
  // Appends one line; an empty message writes an empty line. Strings are UTF-8. Control
  // characters in the message and detail are written escaped ("\n", "\x1b", "\u0085"), so the
  // line stays one line, and each is cut after 4,096 bytes with its full length noted
  // ("... (123456 bytes)").
  void Write(std::string_view message, std::string_view detail);

  // "S_OK", "S_FALSE", "E_INVALIDARG", "E_OUTOFMEMORY", "E_POINTER", "E_FAIL", "E_UNEXPECTED";
  // for a status that wraps a Linux errno (FACILITY_WIN32 with an errno code) its strerror
  // text; otherwise the signed decimal number.
  static std::string HResultText(com::HRESULT hr);

  // The full path of the file the next line goes to (computes the prefix if needed); empty when
  // there is no folder and lines go to standard error.
  std::string FilePath();

  // Test seams: switch a category, set the limit in units of 1,024,000 bytes.
  void SetCategory(LogCategory category, bool on);
  void SetSizeLimit(int32_t units);
  // Back to the constructed state: the environment, the computed file-name prefix, the folders
  // and names are forgotten, only Errors is on and the limit is 1 (tests that re-initialise).
  void ResetForTest();

 private:
  std::string ComputePrefixLocked();
  void WriteToStandardErrorLocked(const std::string& text);

  std::atomic<platform::Env*> env_{nullptr};
  bool flags_[kLogCategoryCount] = {};
  std::string logName_;
  std::string prefix_;
  std::string moduleFolder_;
  std::string logFolder_;
  std::string exeBaseName_;
  std::string namePart_;
  std::string versionPart_;
  int32_t sizeLimit_ = 1;
  bool toldNoFolder_ = false;
  std::mutex mu_;
};

extern DebugLog g_DebugLog;

// Logs a one-dimensional array under Results: the label line, then one line per element
// ("Index: <i> ( <text> )"), or "No data" / "Unhandled array type".
void DebugLogArray(std::string_view label, const com::Variant& value);

// Points the error sink of log/error_log.h at g_DebugLog.Write, so that error lines from the
// engine and the platform layer land in the log file. Call after g_DebugLog.Init.
void InstallDebugLogAsErrorSink();

}  // namespace kv
