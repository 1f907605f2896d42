#pragma once
// The XML form shared by the engine's objects: every object writes one document whose root
// element names its kind and carries version="1"; .zrc files hold exactly that document.
// XmlPersistence implements file and XML persistence for an object that can write itself
// into, and read itself from, a root element.
#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "components/calc_components.h"
#include "engine/field_flags.h"

namespace kv::engine {

using components::Bstr;
using components::HRESULT;

inline constexpr int kObjectFileVersion = 1;

// The pugixml options object files are parsed with: whitespace-only values and carriage returns
// survive.
unsigned ObjectParseOptions();

// Every element under `root` (itself included) whose text or attribute values XML cannot carry
// is put in the escaped form of base/xml_escape.h, before the document is written; and every
// element so marked is read back, after a document is parsed. Iterative: any depth.
void EscapeUncarriedText(pugi::xml_node root);
void UnescapeMarkedText(pugi::xml_node root);

// Whether a root's version attribute, as text, names a version this build reads.
bool ReadableVersion(std::string_view text);

// Why an XML form could not be read: a reason and the byte offset it refers to.
struct XmlError {
  std::string reason;
  ptrdiff_t offset = 0;
};

// Records `reason` about the element `at` in `err`; returns false for the caller to pass on.
bool FailAt(pugi::xml_node at, std::string reason, XmlError* err);

// "line L, column C" (both from 1; columns count characters, not bytes) of `offset` in `text`.
std::string DescribeOffset(std::string_view text, ptrdiff_t offset);

// Child-element writers; numbers are written so that they read back bit for bit.
void WriteText(pugi::xml_node parent, const char* name, std::string_view value);
void WriteLong(pugi::xml_node parent, const char* name, int64_t value);
void WriteDouble(pugi::xml_node parent, const char* name, double value);
void WriteStringList(pugi::xml_node parent, const char* listName, const char* itemName,
                     const std::vector<std::string>& items);
std::string FormatDouble(double value);
// A scalar value as <name type="VARTYPE">text</name>; only IsStorableValue values are written.
void WriteValue(pugi::xml_node parent, const char* name, const com::Variant& value);
// True for the values an object file holds: scalar types other than objects.
bool IsStorableValue(const com::Variant& value);

// What FieldReader takes as a field's text, for readers that see the text without a document
// (the reference scanner), so that both take exactly the same files: a whole number of 32 bits;
// a number; a value of the VARTYPE its "type" attribute names (`out` may be null: only checked).
bool ReadLongText(std::string_view text, int32_t* out);
bool ReadNumberText(std::string_view text, double* out);
bool ReadValueText(std::string_view type, std::string_view text, com::Variant* out);

// The visitor that learns a field list's fields: each name with how FieldReader reads it and
// whether it is required, in Visit order.
class FieldKinds {
 public:
  enum Kind { kText, kLong, kNumber };
  struct Field {
    std::string_view name;
    Kind kind;
    bool required;
  };
  void Text(const char* name, const std::string&, unsigned flags = kFieldDefault) { Add(name, kText, flags); }
  void Long(const char* name, const int32_t&, unsigned flags = kFieldDefault) { Add(name, kLong, flags); }
  void Date(const char* name, const double&, unsigned flags = kFieldDefault) { Add(name, kNumber, flags); }
  void Double(const char* name, const double&, unsigned flags = kFieldDefault) { Add(name, kNumber, flags); }

  const std::vector<Field>& Fields() const { return fields_; }
  // The field of that name, or null.
  const Field* Find(std::string_view name) const;

 private:
  void Add(const char* name, Kind kind, unsigned flags) { fields_.push_back({name, kind, (flags & kFieldRequired) != 0}); }
  std::vector<Field> fields_;
};

// The fields of a field list (a struct with a static Visit), learnt once.
template <class Fields>
const FieldKinds& KindsOf() {
  static const FieldKinds kinds = [] {
    FieldKinds k;
    Fields f;
    Fields::Visit(f, k);
    return k;
  }();
  return kinds;
}

// The writing visitor of a field list: one child element per field.
class FieldWriter {
 public:
  explicit FieldWriter(pugi::xml_node node) : node_(node) {}
  void Text(const char* name, const std::string& value, unsigned = kFieldDefault) { WriteText(node_, name, value); }
  void Long(const char* name, int32_t value, unsigned = kFieldDefault) { WriteLong(node_, name, value); }
  void Date(const char* name, double value, unsigned = kFieldDefault) { WriteDouble(node_, name, value); }
  void Double(const char* name, double value, unsigned = kFieldDefault) { WriteDouble(node_, name, value); }

 private:
  pugi::xml_node node_;
};

// Reads child elements of one element (also the reading visitor of a field list). A missing
// field leaves its target as it was unless it is kFieldRequired; the first missing required
// field or malformed number is recorded in the XmlError and every later read is skipped, so a
// caller reads all its fields and tests Ok() once.
class FieldReader {
 public:
  FieldReader(pugi::xml_node node, XmlError* err) : node_(node), err_(err) {}

  void Text(const char* name, std::string& out, unsigned flags = kFieldDefault);
  void Long(const char* name, int32_t& out, unsigned flags = kFieldDefault);
  void Date(const char* name, double& out, unsigned flags = kFieldDefault);
  void Double(const char* name, double& out, unsigned flags = kFieldDefault) { Date(name, out, flags); }
  void StringList(const char* listName, const char* itemName, std::vector<std::string>* out);
  void Value(const char* name, com::Variant* out, unsigned flags = kFieldDefault);
  bool Ok() const { return ok_; }

 private:
  pugi::xml_node Child(const char* name, unsigned flags);
  void Fail(pugi::xml_node at, std::string reason);

  pugi::xml_node node_;
  XmlError* err_;
  bool ok_ = true;
};

// Writes every field of a field list (a struct with a static Visit) as child elements of `root`.
template <class Fields>
void WriteFields(pugi::xml_node root, const Fields& fields) {
  FieldWriter w(root);
  Fields::Visit(fields, w);
}

// Reads every field of a field list from `root` into *out; false and `err` at the first missing
// required field or malformed number.
template <class Fields>
bool ReadFields(pugi::xml_node root, XmlError* err, Fields* out) {
  FieldReader r(root, err);
  Fields::Visit(*out, r);
  return r.Ok();
}

// File and XML persistence over WriteXml / ReadXml. Loading either takes over the whole content
// or leaves the object untouched: a failed load is reported by a negative result after exactly
// one error line naming the source (file path or "XML text") with the reason and its position.
class XmlPersistence : public virtual components::IZrPersistFile, public virtual components::IZrPersistXML {
 public:
  // SaveXML and an atomic replace of the file. A failed write logs one line and returns a
  // negative result (HResultFromWin32 of the failure).
  HRESULT SaveToFile(const Bstr& path) override;
  // A missing file returns HResultFromWin32(ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND) without
  // a log line; an unreadable or damaged one logs once and returns a negative result.
  HRESULT LoadFromFile(const Bstr& path) override;
  HRESULT LoadXML(const Bstr& xml) override;
  HRESULT SaveXML(Bstr* xml) override;

  // The same on UTF-8 text and paths.
  std::string ToXml() const;
  HRESULT FromXml(std::string_view text, std::string_view source);
  HRESULT SaveFile(std::string_view path);
  HRESULT LoadFile(std::string_view path);

  // Writes the object's element (root name, version and every field) under `parent`; reads one
  // such element (false and `err` when it is not one or is incomplete), for nested objects.
  void WriteElement(pugi::xml_node parent) const;
  bool ReadElement(pugi::xml_node node, XmlError* err);

 protected:
  // The root element's name, and the class name that log lines give.
  virtual const char* RootName() const = 0;
  virtual const char* ClassName() const = 0;
  // Writes every field into `root` (an element already named RootName()).
  virtual void WriteXml(pugi::xml_node root) const = 0;
  // Reads every field from `root` (root name and version already checked) and takes them over
  // only when all could be read; false and `err` otherwise, leaving the object as it was.
  virtual bool ReadXml(pugi::xml_node root, XmlError* err) = 0;
};

}  // namespace kv::engine
