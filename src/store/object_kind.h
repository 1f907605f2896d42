#pragma once
// What tells the calculation and library twins of a store command apart, so the twins whose
// steps are the same run one piece of code: calculations live under the calculation base
// directory (CMDERR_BASE_DIR_NOT_INITIALIZED without one), libraries under the root base directory.
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::store {

struct ObjectKind {
  bool calculation;
  uint32_t wideRight, scriptOnlyRight;  // the two-right rule of the commands that change objects
  long refused;                         // neither right held
  long unknownName;                     // no stored object of a name, or an unsafe name
  long noEditCopy;                      // discarding an edit copy that is not there
  long notLoaded;                       // the environment gives no object for a stored name
  bool (*isName)(std::string_view name);  // a client-supplied name this kind may store
  std::string (*storedPath)(std::string_view dir, std::string_view name);
  std::string (*editPath)(std::string_view dir, std::string_view name);
};

extern const ObjectKind kCalculationKind;
extern const ObjectKind kLibraryKind;

}  // namespace kv::store
