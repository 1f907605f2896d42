#include "engine/persistent_kinds.h"

#include "engine/calculation.h"
#include "engine/collection.h"
#include "engine/library.h"
#include "engine/schedule_group.h"
#include "engine/unit_type.h"

namespace kv::engine {
namespace {

template <class T>
com::ComPtr<XmlPersistence> Make() {
  return com::ComPtr<XmlPersistence>(com::MakeCom<T>());
}

struct Kind {
  const char* rootName;
  com::ComPtr<XmlPersistence> (*make)();
};

constexpr Kind kKinds[] = {
    {"Collection", &Make<ZrCollection>},   {"ScheduleGroup", &Make<ZrScheduleGroup>},
    {"ScheduledItem", &Make<ZrScheduledItem>}, {"UnitType", &Make<ZrUnitType>},
    {"Unit", &Make<ZrUnit>},               {"Calculation", &Make<ZrCalculation>},
    {"Library", &Make<ZrLibrary>},
};

// The collections an object holds directly.
std::vector<com::ComPtr<ZrCollection>> OwnCollections(com::IUnknown* object) {
  if (auto* c = dynamic_cast<ZrCollection*>(object)) return {com::ComPtr<ZrCollection>(c)};
  if (auto* g = dynamic_cast<ZrScheduleGroup*>(object)) return {g->ItemCollection()};
  if (auto* t = dynamic_cast<ZrUnitType*>(object)) return {t->UnitCollection()};
  return {};
}

}  // namespace

com::ComPtr<XmlPersistence> NewPersistentObject(std::string_view rootName) {
  for (const Kind& k : kKinds)
    if (rootName == k.rootName) return k.make();
  return nullptr;
}

XmlPersistence* PersistentFormOf(com::IUnknown* object) { return dynamic_cast<XmlPersistence*>(object); }

bool HoldsCollection(com::IUnknown* object, const ZrCollection* target) {
  for (const auto& c : OwnCollections(object)) {
    if (c.Get() == target) return true;
    for (const auto& e : c->Entries())
      if (HoldsCollection(e.item.Get(), target)) return true;
  }
  return false;
}

}  // namespace kv::engine
