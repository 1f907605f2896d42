#pragma once
// The engine objects that have an XML form, by the name of their root element, so that a
// collection can read back items of every kind: "Collection", "ScheduleGroup", "ScheduledItem",
// "UnitType", "Unit", "Calculation" and "Library".
#include <string_view>

#include "com/unknown.h"
#include "engine/object_file.h"

namespace kv::engine {

// A new, empty object of the kind whose root element is `rootName`; null for an unknown kind.
com::ComPtr<XmlPersistence> NewPersistentObject(std::string_view rootName);

// The object's XML form, or null when it has none.
XmlPersistence* PersistentFormOf(com::IUnknown* object);

class ZrCollection;
// True when `object` is `target` or holds it in a collection of its own, at any depth; a
// collection must not take such an object, or saving it would never end.
bool HoldsCollection(com::IUnknown* object, const ZrCollection* target);

}  // namespace kv::engine
