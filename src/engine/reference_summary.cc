#include "engine/reference_summary.h"

#include <charconv>
#include <cstring>

#include "components/calc_components.h"
#include "engine/lua_references.h"
#include "engine/object_file.h"

namespace kv::engine {
namespace {

// Parameter kinds as object files record them.
constexpr long kKindTag = 1;
constexpr long kKindCalculation = 2;

bool HasReadableVersion(pugi::xml_node root) {
  const char* text = root.attribute("version").value();
  const size_t n = std::strlen(text);
  long version = 0;
  auto res = std::from_chars(text, text + n, version);
  return n > 0 && res.ec == std::errc() && res.ptr == text + n && version >= 1 && version <= kObjectFileVersion;
}

}  // namespace

bool ParseObjectText(std::string& text, pugi::xml_document* doc) {
  // The options the engine loads object files with: carriage returns and blank values survive.
  const unsigned options = (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single;
  return static_cast<bool>(doc->load_buffer_inplace(text.data(), text.size(), options, pugi::encoding_utf8));
}

bool ReadCalculationReferences(pugi::xml_node root, components::ReferenceSummary* out) {
  if (std::strcmp(root.name(), "Calculation") != 0 || !HasReadableVersion(root) || !root.child("Name")) return false;
  for (pugi::xml_node lib : root.child("Libraries").children("Library")) out->libraries.emplace_back(lib.text().get());
  for (pugi::xml_node param : root.child("Parameters").children("Parameter")) {
    // One pass over the parameter's fields: most files hold many parameters.
    const char *name = nullptr, *kind = "", *server = "", *tag = "", *calc = "";
    for (pugi::xml_node field : param.children()) {
      const char* n = field.name();
      switch (n[0]) {
        case 'N': if (std::strcmp(n, "Name") == 0) name = field.child_value(); break;
        case 'K': if (std::strcmp(n, "Kind") == 0) kind = field.child_value(); break;
        case 'S': if (std::strcmp(n, "ServerName") == 0) server = field.child_value(); break;
        case 'T': if (std::strcmp(n, "TagName") == 0) tag = field.child_value(); break;
        case 'C': if (std::strcmp(n, "CalcName") == 0) calc = field.child_value(); break;
        default: break;
      }
    }
    if (!name) return false;
    long k = 0;
    std::from_chars(kind, kind + std::strlen(kind), k);
    if (k == kKindCalculation) {
      out->calculations.emplace_back(calc);
    } else if (k == kKindTag) {
      out->tags.push_back({name, server, tag});
    }
  }
  out->formulas = FindScriptReferences(root.child_value("Script")).fields;
  return true;
}

bool ReadLibraryReferences(pugi::xml_node root, components::LibrarySummary* out) {
  if (std::strcmp(root.name(), "Library") != 0 || !HasReadableVersion(root) || !root.child("Name")) return false;
  for (pugi::xml_node formula : root.child("Formulas").children("Calculation")) {
    auto& [name, refs] = out->formulas.emplace_back(formula.child_value("Name"), components::ReferenceSummary{});
    if (!ReadCalculationReferences(formula, &refs)) return false;
  }
  return true;
}

}  // namespace kv::engine
