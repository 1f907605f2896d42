#pragma once
// Configuration read from the registry store and the environment at start-up: the root base
// directory of the object store and the two start-up flags. There is no configuration file.
#include <atomic>
#include <cstdint>
#include <string>

namespace kv {
namespace platform {
struct Env;
}  // namespace platform

// The root base directory, without a trailing backslash; set once at start-up before any
// command runs (LoadConfiguration) and never changed afterwards.
extern std::string g_BasePath;
// The flags below are written by commands and read by group threads and runs without a common
// lock, so each is atomic.
//
// True when the ODM workspace value was a non-empty string at start-up; the workspace commands
// update it when they write the value.
extern std::atomic<bool> g_bOdmWorkspaceSet;
// VARIANT_TRUE (-1) when store-and-forward "Enabled" was non-zero at start-up, else 0; the
// store-and-forward command updates it.
extern std::atomic<int16_t> g_bStoreAndForwardEnabled;
// How many copies Recycle keeps of one object name (at least 1); the oldest go first.
extern std::atomic<uint32_t> g_RecycleCopies;

namespace config {

// Registry keys (HKLM) and values of this system.
inline constexpr const char* kSharedPathKey = "SOFTWARE\\Wow6432Node\\Quorlith\\Morvane Calc";
inline constexpr const char* kSharedPathValue = "Shared Path";
inline constexpr const char* kOdmKey = "SOFTWARE\\Quorlith\\Morvane Calc\\Odm";
inline constexpr const char* kOdmWorkSpaceValue = "WorkSpace";
inline constexpr const char* kStoreAndForwardKey = "SOFTWARE\\Quorlith\\Morvane Calc\\StoreAndForward";
inline constexpr const char* kStoreAndForwardValue = "Enabled";
inline constexpr const char* kBaseEnvVar = "MORVANE_CALC_BASE";
inline constexpr const char* kStoreKey = "SOFTWARE\\Kelvarin\\Store";
inline constexpr const char* kRecycleCopiesValue = "RecycleCopies";
inline constexpr uint32_t kDefaultRecycleCopies = 10;

// Each reads the registry store and the system of `env`.

// The root base directory: "Shared Path" (REG_SZ or REG_EXPAND_SZ of at most 260 bytes with its
// NUL, used as it stands, even when empty); else $MORVANE_CALC_BASE; and when the result is
// still empty, the common application data folder + "\Quorlith\Morvane Calc". Empty when there
// is no common data folder either (it could not be created).
std::string LookupBasePath(platform::Env& env);

// "WorkSpace" as a string of at most 256 bytes with its NUL; "" when the key or value is
// missing or unreadable.
std::string ReadOdmWorkspace(platform::Env& env);

// "Enabled" as a DWORD; 0 when the key or value is missing or not a DWORD.
uint32_t ReadStoreAndForward(platform::Env& env);

// "RecycleCopies" under kStoreKey as a DWORD of at least 1; kDefaultRecycleCopies otherwise.
uint32_t ReadRecycleCopies(platform::Env& env);

// Sets g_BasePath, g_bOdmWorkspaceSet, g_bStoreAndForwardEnabled and g_RecycleCopies from the
// lookups above. False when there is no root base directory (the server must not start).
bool LoadConfiguration(platform::Env& env);

// Why the server does not start when LoadConfiguration fails.
inline constexpr const char* kNoBasePathMessage =
    "no store directory: the common data folder cannot be created; set MORVANE_CALC_BASE, "
    "KELVARIN_PROGRAMDATA or the \"Shared Path\" value under HKLM SOFTWARE\\Wow6432Node\\Quorlith\\Morvane Calc";

}  // namespace config
}  // namespace kv
