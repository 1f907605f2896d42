#pragma once
// Bases for engine objects whose whole state is one field list (a struct with a static Visit,
// see field_flags.h) guarded by mu_, optionally with one nested collection: the named properties
// and the XML form both come from the list. A load takes over the fields and the collection's
// content only when all of them could be read.
#include <pugixml.hpp>

#include <utility>

#include "engine/collection.h"
#include "engine/object_file.h"
#include "engine/property_table.h"

namespace kv::engine {

template <class Fields>
class FieldObject : public XmlPersistence, public PropertyObject {
 protected:
  FieldObject() { Fields::Visit(f_, props_); }

  void WriteXml(pugi::xml_node root) const override { WriteFields(root, Locked([&] { return f_; })); }
  bool ReadXml(pugi::xml_node root, XmlError* err) override {
    Fields f;
    if (!ReadFields(root, err, &f)) return false;
    Locked([&] { f_ = std::move(f); });
    return true;
  }

  Fields f_;  // guarded by mu_
};

// The nested collection is the read-only property named by `Fields::kNested`, written after the
// fields as <name><Collection ...></name>; it is the same live object for the whole life of its
// owner.
template <class Fields>
class FieldCollectionObject : public FieldObject<Fields> {
 public:
  const com::ComPtr<ZrCollection>& Nested() const { return nested_; }
  // The nested collection (and so its items) is shared with its owner.
  void GuardChanges(components::SharedObject kind) override {
    PropertyObject::GuardChanges(kind);
    nested_->GuardChanges(kind);
  }

 protected:
  FieldCollectionObject() : nested_(com::MakeCom<ZrCollection>()) {
    this->props_.Computed(Fields::kNested, [this](std::vector<Variant>&, Variant* result) {
      *result = Variant::Dispatch(com::ComPtr<com::IDispatch>(nested_));
      return com::S_OK;
    });
  }

  void WriteXml(pugi::xml_node root) const override {
    FieldObject<Fields>::WriteXml(root);
    WriteNested(root, Fields::kNested, *nested_);
  }
  bool ReadXml(pugi::xml_node root, XmlError* err) override {
    Fields f;
    com::ComPtr<ZrCollection> nested;
    if (!ReadFields(root, err, &f) || !ReadNested(root, Fields::kNested, err, &nested)) return false;
    this->Locked([&] { this->f_ = std::move(f); });
    nested_->TakeContent(*nested);
    return true;
  }

 private:
  const com::ComPtr<ZrCollection> nested_;
};

}  // namespace kv::engine
