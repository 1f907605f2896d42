#pragma once
// The registry stand-in: HKLM and HKCU kept in text files in Wine's registry-file format
// ("WINE REGISTRY Version 2", "[Key\\Path] <stamp>" sections, "Name"="text",
// "Name"=str(2):"text" for REG_EXPAND_SZ, "Name"=dword:0000002a, "Name"=hex:01,02 for
// REG_BINARY, @= for the default value). Key names compare without regard to case, as on
// Windows; the spelling first written is kept.
//
// Every read parses the current file (so a value written by another process is seen at
// once); every write takes an advisory lock on "<file>.lock", re-reads the file, applies the
// one change and replaces the file atomically, so two processes never lose each other's
// values. A malformed file is reported through the error sink and reads as having no keys;
// before the first write after that it is kept aside as "<file>.corrupt-<YYYYMMDDThhmmss>".
// All file access goes through the FileSystem the store is given. Thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace kv::platform {

class SystemInfo;

enum class RegHive { LocalMachine, CurrentUser };

enum RegType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
};

struct RegValue {
  RegType type = REG_NONE;
  std::string text;    // REG_SZ / REG_EXPAND_SZ, UTF-8, without the terminating NUL
  uint32_t dword = 0;  // REG_DWORD
  std::vector<uint8_t> binary;  // REG_BINARY

  static RegValue String(std::string s, RegType t = REG_SZ);
  static RegValue Dword(uint32_t v);
  static RegValue Binary(std::vector<uint8_t> b);
};

// Win32-style results of the registry calls.
inline constexpr long kRegOk = 0;               // ERROR_SUCCESS
inline constexpr long kRegNotFound = 2;         // ERROR_FILE_NOT_FOUND (key or value missing)
inline constexpr long kRegAccessDenied = 5;     // ERROR_ACCESS_DENIED (file cannot be written)
inline constexpr long kRegMoreData = 234;       // ERROR_MORE_DATA (buffer too small)

class RegistryStore {
 public:
  using ErrorSink = std::function<void(const std::string&)>;

  // `systemFile` holds HKLM (system.reg), `userFile` HKCU (user.reg), both reached through
  // `fs`, which must outlive the store. Their folders are created on the first write. `onError`
  // receives the text of each problem (malformed file, failed write), one line each, after the
  // store's lock is released; by default it goes to standard error. A malformed file is
  // reported once, not on every read.
  RegistryStore(FileSystem& fs, std::string systemFile, std::string userFile, ErrorSink onError = {});
  // The same over the process's real file system.
  RegistryStore(std::string systemFile, std::string userFile, ErrorSink onError = {});
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // The store of the real environment, on the real file system, in the files DefaultFiles
  // gives for the real system.
  static RegistryStore& Default();
  // $KELVARIN_REGISTRY_DIR, else /etc/kelvarin (HKLM) and $XDG_CONFIG_HOME/kelvarin (HKCU) as
  // root, else $XDG_CONFIG_HOME/kelvarin for both; $XDG_CONFIG_HOME defaults to
  // <home>/.config. Worked out from `system` as it is now.
  struct Files {
    std::string system, user;
  };
  static Files DefaultFiles(SystemInfo& system);

  // Key paths use "\" between levels ("SOFTWARE\Quorlith\Morvane Calc"); empty levels are
  // ignored and "" is the hive itself. Calls that change nothing do not touch the file.
  bool KeyExists(RegHive hive, std::string_view key);
  // Creates the key and its parents (no-op when it exists). kRegOk or an error.
  long CreateKey(RegHive hive, std::string_view key);
  // kRegOk and the value, or kRegNotFound when the key or the value is missing.
  long GetValue(RegHive hive, std::string_view key, std::string_view name, RegValue* out);
  // Creates the key when missing and sets the value. Only the field the type uses is kept
  // (text for REG_SZ / REG_EXPAND_SZ, dword for REG_DWORD, binary for REG_BINARY).
  long SetValue(RegHive hive, std::string_view key, std::string_view name, const RegValue& v);
  long DeleteValue(RegHive hive, std::string_view key, std::string_view name);
  // Deletes the key with its subkeys. kRegAccessDenied for the hive itself ("").
  long DeleteKey(RegHive hive, std::string_view key);
  // Names of the direct subkeys and of the values, in file order (the default value is "").
  std::vector<std::string> SubKeys(RegHive hive, std::string_view key);
  std::vector<std::string> ValueNames(RegHive hive, std::string_view key);

  const std::string& FileOf(RegHive hive) const;

 private:
  struct Impl;
  std::string systemFile_, userFile_;
  ErrorSink onError_;
  std::mutex mu_;
  std::unique_ptr<Impl> impl_;  // guarded by mu_
};

}  // namespace kv::platform
