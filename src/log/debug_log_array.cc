#include "log/debug_log.h"

#include <string>

namespace kv {
namespace {
using com::Variant;

// An element's text; one that cannot be turned into a string reads as empty.
std::string ElementText(const Variant& element) {
  const Variant& v = element.Deref();
  if (v.vt() == com::VT_BSTR) return v.bstr().ToUtf8();
  Variant text;
  if (com::FAILED(com::ChangeType(v, com::VT_BSTR, &text)) || text.vt() != com::VT_BSTR) return {};
  return text.bstr().ToUtf8();
}

void WriteElement(const std::string& prefix, const std::string& text) {
  g_DebugLog.Write(prefix + "( " + text + " )", {});
}
}  // namespace

void DebugLogArray(std::string_view label, const Variant& value) {
  if (!g_DebugLog.IsOn(LogCategory::Results)) return;
  g_DebugLog.Write(label, {});

  const Variant& v = value.Deref();
  if (v.vt() == com::VT_EMPTY || v.vt() == com::VT_NULL || !v.IsArray()) {
    g_DebugLog.Write("No data", {});
    return;
  }
  const com::SafeArray& array = v.array();
  const com::VARTYPE elementType = array.ElementType();
  if (elementType != com::VT_BSTR && elementType != com::VT_VARIANT) {
    g_DebugLog.Write("Unhandled array type", {});
    return;
  }

  for (size_t offset = 0; offset < array.Count(); ++offset) {
    const std::string prefix = "Index: " + std::to_string(int64_t{array.LowerBound()} + static_cast<int64_t>(offset)) + " ";
    const Variant& element = array.At(offset).Deref();
    if (elementType == com::VT_VARIANT && element.IsArray()) {
      // A nested array is flattened under the outer index.
      const com::SafeArray& inner = element.array();
      for (size_t k = 0; k < inner.Count(); ++k) WriteElement(prefix, ElementText(inner.At(k)));
    } else {
      WriteElement(prefix, ElementText(element));
    }
  }
}

}  // namespace kv
