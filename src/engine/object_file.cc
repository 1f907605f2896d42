#include "engine/object_file.h"

#include <charconv>
#include <cstring>

#include "base/xml_escape.h"
#include "engine/server_context.h"
#include "log/error_log.h"
#include "platform/env.h"

namespace kv::engine {
namespace {

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorDiskFull = 112;

HRESULT HResultFromCrt(int err) {
  namespace crt = platform::crt;
  switch (err) {
    case crt::kENOENT: return com::HResultFromWin32(kErrorFileNotFound);
    case crt::kENOTDIR: return com::HResultFromWin32(kErrorPathNotFound);
    case crt::kEACCES: return com::HResultFromWin32(kErrorAccessDenied);
    case crt::kENOSPC: return com::HResultFromWin32(kErrorDiskFull);
    default: return com::E_FAIL;
  }
}

// The whole of `text` as a number, independent of the locale.
template <class T>
bool ParseNumber(std::string_view text, T* out) {
  auto res = std::from_chars(text.data(), text.data() + text.size(), *out);
  return res.ec == std::errc() && res.ptr == text.data() + text.size() && !text.empty();
}

bool IsRealType(com::VARTYPE vt) {
  return vt == com::VT_R4 || vt == com::VT_R8 || vt == com::VT_DATE || vt == com::VT_CY;
}

std::string Routine(const char* cls, const char* routine, const char* text) {
  return std::string(cls) + "::" + routine + " - " + text;
}

// Without server objects a component has no file system to use.
HRESULT NoPlatform(const char* cls, const char* routine, std::string_view path) {
  log::LogError(Routine(cls, routine, "no file system: the engine classes were registered without server objects"),
                path);
  return com::E_UNEXPECTED;
}

}  // namespace

bool FailAt(pugi::xml_node at, std::string reason, XmlError* err) {
  err->reason = std::move(reason);
  err->offset = at.offset_debug();
  return false;
}

std::string DescribeOffset(std::string_view text, ptrdiff_t offset) {
  size_t end = offset < 0 ? 0 : std::min(static_cast<size_t>(offset), text.size());
  long line = 1, column = 1;
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string FormatDouble(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 17);
  return std::string(buf, res.ptr);
}

void WriteText(pugi::xml_node parent, const char* name, std::string_view value) {
  parent.append_child(name).text().set(std::string(value).c_str());
}

void WriteLong(pugi::xml_node parent, const char* name, int64_t value) {
  WriteText(parent, name, std::to_string(value));
}

void WriteDouble(pugi::xml_node parent, const char* name, double value) {
  WriteText(parent, name, FormatDouble(value));
}

void WriteStringList(pugi::xml_node parent, const char* listName, const char* itemName,
                     const std::vector<std::string>& items) {
  pugi::xml_node list = parent.append_child(listName);
  for (const auto& item : items) WriteText(list, itemName, item);
}

bool IsStorableValue(const com::Variant& value) {
  return com::IsScalarType(value.vt()) && value.vt() != com::VT_DISPATCH && value.vt() != com::VT_UNKNOWN;
}

void WriteValue(pugi::xml_node parent, const char* name, const com::Variant& value) {
  pugi::xml_node node = parent.append_child(name);
  node.append_attribute("type").set_value(value.vt());
  const com::VARTYPE vt = value.vt();
  if (vt == com::VT_EMPTY || vt == com::VT_NULL) return;
  if (vt == com::VT_BSTR)
    node.text().set(value.bstr().ToUtf8().c_str());
  else if (IsRealType(vt))
    node.text().set(FormatDouble(value.AsReal()).c_str());
  else
    node.text().set(std::to_string(value.AsInt()).c_str());
}

namespace {

// The value type an attribute names, or false when this build reads no such type.
bool ValueType(std::string_view type, com::VARTYPE* vt) {
  int64_t t;
  if (!ParseNumber(type, &t) || t < 0 || t > com::VT_TYPEMASK ||
      !IsStorableValue(com::Variant::OfInt(static_cast<com::VARTYPE>(t), 0)))
    return false;
  *vt = static_cast<com::VARTYPE>(t);
  return true;
}

}  // namespace

bool ReadLongText(std::string_view text, int32_t* out) {
  int64_t v;
  if (!ParseNumber(text, &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool ReadNumberText(std::string_view text, double* out) { return ParseNumber(text, out); }

bool ReadValueText(std::string_view type, std::string_view text, com::Variant* out) {
  com::VARTYPE vt;
  if (!ValueType(type, &vt)) return false;
  int64_t i;
  double d;
  if (vt == com::VT_EMPTY) {
    if (out) *out = com::Variant();
  } else if (vt == com::VT_NULL) {
    if (out) *out = com::Variant::Null();
  } else if (vt == com::VT_BSTR) {
    if (out) *out = com::Variant::Str(text);
  } else if (IsRealType(vt) && ParseNumber(text, &d)) {
    if (out) *out = com::Variant::OfReal(vt, d);
  } else if (!IsRealType(vt) && ParseNumber(text, &i)) {
    if (out) *out = com::Variant::OfInt(vt, i);
  } else {
    return false;
  }
  return true;
}

const FieldKinds::Field* FieldKinds::Find(std::string_view name) const {
  for (const Field& f : fields_)
    if (f.name == name) return &f;
  return nullptr;
}

void FieldReader::Value(const char* name, com::Variant* out, unsigned flags) {
  pugi::xml_node child = Child(name, flags);
  if (!child) return;
  com::VARTYPE vt;
  if (!ValueType(child.attribute("type").value(), &vt))
    return Fail(child, std::string("<") + name + "> has no value type this build reads");
  if (!ReadValueText(child.attribute("type").value(), child.text().get(), out))
    Fail(child, std::string("<") + name + "> does not hold a value of its type");
}

void FieldReader::Fail(pugi::xml_node at, std::string reason) {
  if (!ok_) return;
  ok_ = FailAt(at, std::move(reason), err_);
}

pugi::xml_node FieldReader::Child(const char* name, unsigned flags) {
  if (!ok_) return {};
  pugi::xml_node child = node_.child(name);
  if (!child && (flags & kFieldRequired))
    Fail(node_, std::string("<") + node_.name() + "> lacks the required element <" + name + ">");
  return child;
}

void FieldReader::Text(const char* name, std::string& out, unsigned flags) {
  if (pugi::xml_node child = Child(name, flags)) out = child.text().get();
}

void FieldReader::Long(const char* name, int32_t& out, unsigned flags) {
  pugi::xml_node child = Child(name, flags);
  if (child && !ReadLongText(child.text().get(), &out)) Fail(child, std::string("<") + name + "> is not a whole number");
}

void FieldReader::Date(const char* name, double& out, unsigned flags) {
  pugi::xml_node child = Child(name, flags);
  if (child && !ReadNumberText(child.text().get(), &out)) Fail(child, std::string("<") + name + "> is not a number");
}

void FieldReader::StringList(const char* listName, const char* itemName, std::vector<std::string>* out) {
  pugi::xml_node list = Child(listName, kFieldDefault);
  if (!list) return;
  out->clear();
  for (pugi::xml_node item : list.children(itemName)) out->push_back(item.text().get());
}

namespace {

// Calls `visit` on every element of the subtree at `root`, in document order, without recursion.
template <class Visit>
void ForEachElement(pugi::xml_node root, Visit visit) {
  for (pugi::xml_node n = root; n;) {
    if (n.type() == pugi::node_element) visit(n);
    if (pugi::xml_node child = n.first_child()) {
      n = child;
      continue;
    }
    while (n != root && !n.next_sibling()) n = n.parent();
    if (n == root) break;
    n = n.next_sibling();
  }
}

bool IsText(pugi::xml_node n) { return n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata; }

}  // namespace

void EscapeUncarriedText(pugi::xml_node root) {
  ForEachElement(root, [](pugi::xml_node e) {
    bool carried = true;
    for (pugi::xml_node c = e.first_child(); c && carried; c = c.next_sibling())
      carried = !IsText(c) || XmlCarries(c.value());
    for (pugi::xml_attribute a = e.first_attribute(); a && carried; a = a.next_attribute()) carried = XmlCarries(a.value());
    if (carried) return;
    for (pugi::xml_node c = e.first_child(); c; c = c.next_sibling())
      if (IsText(c)) c.set_value(XmlEscapeUncarried(c.value()).c_str());
    for (pugi::xml_attribute a = e.first_attribute(); a; a = a.next_attribute())
      a.set_value(XmlEscapeUncarried(a.value()).c_str());
    e.append_attribute(kXmlEscapedAttribute).set_value("1");
  });
}

void UnescapeMarkedText(pugi::xml_node root) {
  ForEachElement(root, [](pugi::xml_node e) {
    pugi::xml_attribute marker = e.attribute(kXmlEscapedAttribute);
    if (!marker) return;
    e.remove_attribute(marker);
    for (pugi::xml_node c = e.first_child(); c; c = c.next_sibling())
      if (IsText(c)) c.set_value(XmlUnescapeUncarried(c.value()).c_str());
    for (pugi::xml_attribute a = e.first_attribute(); a; a = a.next_attribute())
      a.set_value(XmlUnescapeUncarried(a.value()).c_str());
  });
}

unsigned ObjectParseOptions() { return (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single; }

bool ReadableVersion(std::string_view text) {
  int64_t version;
  return ParseNumber(text, &version) && version >= 1 && version <= kObjectFileVersion;
}

namespace {

// `root` must be <rootName version="N"> with a version this build reads.
bool CheckRoot(pugi::xml_node root, const char* rootName, XmlError* err) {
  if (std::strcmp(root.name(), rootName) != 0)
    return FailAt(root, std::string("the root element is <") + root.name() + ">, not <" + rootName + ">", err);
  if (!ReadableVersion(root.attribute("version").value()))
    return FailAt(root, std::string("<") + rootName + "> has no version this build reads", err);
  return true;
}

}  // namespace

void XmlPersistence::WriteElement(pugi::xml_node parent) const {
  pugi::xml_node root = parent.append_child(RootName());
  root.append_attribute("version").set_value(kObjectFileVersion);
  WriteXml(root);
}

bool XmlPersistence::ReadElement(pugi::xml_node node, XmlError* err) {
  return CheckRoot(node, RootName(), err) && ReadXml(node, err);
}

std::string XmlPersistence::ToXml() const {
  pugi::xml_document doc;
  WriteElement(doc);
  EscapeUncarriedText(doc);
  StringWriter w;
  doc.save(w, "  ", pugi::format_default, pugi::encoding_utf8);
  return std::move(w.out);
}

HRESULT XmlPersistence::FromXml(std::string_view text, std::string_view source) {
  pugi::xml_document doc;
  XmlError err;
  pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size(), ObjectParseOptions(), pugi::encoding_utf8);
  if (!parsed) {
    err.reason = parsed.description();
    err.offset = parsed.offset;
  } else if (UnescapeMarkedText(doc), ReadElement(doc.document_element(), &err)) {
    return com::S_OK;
  }
  log::LogError(Routine(ClassName(), "Load", "cannot read the object"),
                std::string(source) + ": " + err.reason + " (" + DescribeOffset(text, err.offset) + ")");
  return com::E_FAIL;
}

HRESULT XmlPersistence::SaveFile(std::string_view path) {
  platform::Env* env = ServerPlatform();
  if (env == nullptr) return NoPlatform(ClassName(), "SaveToFile", path);
  const int err = env->fs->WriteFileAtomic(path, ToXml());
  if (err == platform::crt::kOk) return com::S_OK;
  log::LogError(Routine(ClassName(), "SaveToFile", "cannot write the object file"),
                std::string(path) + ": error " + std::to_string(err));
  return HResultFromCrt(err);
}

HRESULT XmlPersistence::LoadFile(std::string_view path) {
  platform::Env* env = ServerPlatform();
  if (env == nullptr) return NoPlatform(ClassName(), "LoadFromFile", path);
  std::string text;
  const int err = env->fs->ReadFile(path, &text);
  if (err == platform::crt::kENOENT || err == platform::crt::kENOTDIR) return HResultFromCrt(err);
  if (err != platform::crt::kOk) {
    log::LogError(Routine(ClassName(), "LoadFromFile", "cannot read the object file"),
                  std::string(path) + ": error " + std::to_string(err));
    return HResultFromCrt(err);
  }
  return FromXml(text, path);
}

HRESULT XmlPersistence::SaveToFile(const Bstr& path) { return SaveFile(path.ToUtf8()); }
HRESULT XmlPersistence::LoadFromFile(const Bstr& path) { return LoadFile(path.ToUtf8()); }
HRESULT XmlPersistence::LoadXML(const Bstr& xml) { return FromXml(xml.ToUtf8(), "XML text"); }

HRESULT XmlPersistence::SaveXML(Bstr* xml) {
  if (!xml) return com::E_POINTER;
  *xml = Bstr::FromUtf8(ToXml());
  return com::S_OK;
}

}  // namespace kv::engine
