// The text reader of references on any text, as a calculation file and as a library file:
// whatever it accepts, the document reader accepts too and reads to the same summary.
#include <pugixml.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/reference_scan.h"
#include "engine/reference_summary.h"
#include "fuzz_check.h"

namespace {

template <class Summary>
void ReadAlike(const std::string& text, bool (*scan)(std::string_view, Summary*),
               bool (*read)(pugi::xml_node, Summary*)) {
  Summary scanned;
  if (!scan(text, &scanned)) return;
  std::string copy = text;
  pugi::xml_document doc;
  Summary parsed;
  FUZZ_CHECK(kv::engine::ParseObjectText(copy, &doc));
  FUZZ_CHECK(read(doc.document_element(), &parsed));
  FUZZ_CHECK(scanned == parsed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ReadAlike(text, &kv::engine::ScanCalculationReferences, &kv::engine::ReadCalculationReferences);
  ReadAlike(text, &kv::engine::ScanLibraryReferences, &kv::engine::ReadLibraryReferences);
  return 0;
}
