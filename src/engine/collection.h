#pragma once
// ZrCollection: an ordered collection of engine objects, each under a name compared exactly. It
// holds the schedule groups, a group's scheduled items, the measurement types and a type's
// units. Only objects with an XML form (see persistent_kinds.h) are taken, so that SaveToFile
// can always write the whole content; the file holds every item with its own nested content.
// Thread-safe: the lock guards the list only, never a call into an item, so items that hold
// collections of their own cannot deadlock against it.
//
// By name (IDispatch): "Count", "Item" (default member; a name, or a 1-based position when the
// argument is a number), "NameList" (list result), and the methods "Add" (name, object) and
// "Remove" (name); both are changes (see PropertyObject::GuardChanges).
#include <pugixml.hpp>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "components/schedule_components.h"
#include "engine/object_file.h"
#include "engine/property_table.h"

namespace kv::engine {

// Results of Add and Remove beyond the usual codes.
inline constexpr HRESULT kNameTaken = com::HResultFromWin32(183);      // ERROR_ALREADY_EXISTS
inline constexpr HRESULT kNameNotFound = com::HResultFromWin32(1168);  // ERROR_NOT_FOUND

class ZrCollection : public com::ComObject<components::IZrCollection, XmlPersistence, PropertyObject> {
 public:
  struct Entry {
    std::string name;
    com::ComPtr<com::IDispatch> item;
  };

  ZrCollection();

  // IZrCollection.
  HRESULT Add(const Bstr& name, com::IDispatch* item) override;
  HRESULT Count(long* count) override;
  HRESULT Remove(const Bstr& name) override;
  HRESULT ItemAt(long position, com::ComPtr<com::IDispatch>* item) override;
  HRESULT Item(const Bstr& name, com::ComPtr<com::IDispatch>* item) override;
  HRESULT NameList(Variant* names) override;

  // The same on UTF-8 names. AddNamed gives kNameTaken for a taken name, DISP_E_TYPEMISMATCH for
  // an object without an XML form and E_INVALIDARG for an object that holds this collection;
  // Erase false when nothing was removed.
  HRESULT AddNamed(std::string name, com::ComPtr<com::IDispatch> item);
  bool Erase(std::string_view name);
  // The item of that name, or null.
  com::ComPtr<com::IDispatch> Find(std::string_view name) const;
  // A copy of the list, for walking it without the lock.
  std::vector<Entry> Entries() const;
  size_t Size() const;
  // Takes over the whole content of `other` (used to make a load all-or-nothing).
  void TakeContent(ZrCollection& other);
  // Marks the items too; items added later are marked as they come in.
  void GuardChanges(components::SharedObject kind) override;

 protected:
  const char* RootName() const override { return "Collection"; }
  const char* ClassName() const override { return "ZrCollection"; }
  void WriteXml(pugi::xml_node root) const override;
  bool ReadXml(pugi::xml_node root, XmlError* err) override;

 private:
  std::vector<Entry>::const_iterator FindLocked(std::string_view name) const;

  std::vector<Entry> entries_;  // guarded by mu_
};

// A collection nested in an object's element as <wrapper><Collection ...></wrapper>.
void WriteNested(pugi::xml_node root, const char* wrapper, const ZrCollection& items);
// Reads such a collection into a new object (an empty one when the wrapper is missing); false
// and `err` when it is damaged.
bool ReadNested(pugi::xml_node root, const char* wrapper, XmlError* err, com::ComPtr<ZrCollection>* out);

}  // namespace kv::engine
