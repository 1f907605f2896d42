#pragma once
// The layout of an object store, in the backslash form the commands build paths in (one helper
// at the file-system boundary turns them into real paths):
//   <root>\Calc\<name>.zrc         stored calculations (<name> may be "<folder>\<calc>")
//   <root>\Calc\Edit\<name>.zrc    their edit copies
//   <root>\Calc\Recycle\           what saves and deletions keep
//   <root>\Lib\..., Lib\Edit, Lib\Recycle   the same for libraries
//   <root>\Apps\<app>\             an application's own store, laid out the same way
//   <root>\bin\                    the schedule and conversions files
#include <string>
#include <string_view>

namespace kv::layout {

inline constexpr char kCalc[] = "Calc";
inline constexpr char kLib[] = "Lib";
inline constexpr char kEdit[] = "Edit";
inline constexpr char kRecycle[] = "Recycle";
inline constexpr char kApps[] = "Apps";
inline constexpr char kBin[] = "bin";
inline constexpr char kObjectExtension[] = ".zrc";

// The subdirectories every store has, parents first.
inline constexpr const char* kStoreSubdirectories[] = {"Calc", "Calc\\Edit", "Lib", "Lib\\Edit"};

// "<dir>\<sub>".
std::string Join(std::string_view dir, std::string_view sub);
// "<base>\Calc" and "<root>\Lib".
std::string CalcDir(std::string_view base);
std::string LibDir(std::string_view root);
// "<base>\Calc\<name>.zrc", "<base>\Calc\Edit\<name>.zrc", "<root>\Lib\<name>.zrc",
// "<root>\Lib\Edit\<name>.zrc".
std::string StoredCalcPath(std::string_view base, std::string_view name);
std::string EditCalcPath(std::string_view base, std::string_view name);
std::string StoredLibPath(std::string_view root, std::string_view name);
std::string EditLibPath(std::string_view root, std::string_view name);
// "<root>\Apps\<app>".
std::string AppDir(std::string_view root, std::string_view app);
// "<dir>\Recycle".
std::string RecycleDir(std::string_view dir);

// False as soon as any character of an object, folder or group name is white space (space, \t,
// \r, \n, \v, \f).
bool NameHasNoWhiteSpace(std::string_view name);

// "Edit" and "Recycle": names inside Calc and Lib that belong to the store, not to objects.
bool IsStoreDirectoryName(std::string_view name);

}  // namespace kv::layout
