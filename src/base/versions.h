#pragma once
// The two version numbers, in one place. The product version names a release of the server and
// its client (`--version`, the log file's name, the package); the command interface version is
// what CalcCommandVersion answers: the revision of the command set clients program against,
// which a release keeps unless the commands change.
namespace kv {

inline constexpr char kProductVersion[] = "17.0.0.266";
inline constexpr char kCommandInterfaceVersion[] = "v7.3";

}  // namespace kv
