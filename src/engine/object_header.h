#pragma once
// The fields every stored object carries: its name, description, the password pair "ID" and
// "Password" (the stored password code), the edit owner string and the time of the last store
// save. Calculations and libraries hold one each, guarded by their own mutex.
#include <cstdint>
#include <string>

#include "engine/field_flags.h"

namespace kv::engine {

struct ObjectHeader {
  std::string name;
  std::string description;
  std::string id;
  int32_t password = 0;
  std::string owner;
  double saveTime = 0;  // OLE date

  // The field list (see field_flags.h); the names serve as property and element names. `H` is
  // ObjectHeader or const ObjectHeader.
  template <class H, class V>
  static void Visit(H& h, V& v) {
    v.Text("Name", h.name, kFieldRequired);
    v.Text("Description", h.description);
    v.Text("ID", h.id);
    v.Long("Password", h.password);
    v.Text("EditOwner", h.owner);
    v.Date("SaveTime", h.saveTime);
  }
};

}  // namespace kv::engine
