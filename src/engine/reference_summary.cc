#include "engine/reference_summary.h"

#include <charconv>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "components/calc_components.h"
#include "engine/calculation.h"
#include "engine/library.h"
#include "engine/object_file.h"
#include "engine/reference_scan.h"
#include "engine/script_names.h"

namespace kv::engine {
namespace {

bool HasReadableVersion(pugi::xml_node root) { return ReadableVersion(root.attribute("version").value()); }

// Whether the engine loads the element: no answer names an object the server cannot open.
template <class Object>
bool Loads(pugi::xml_node root) {
  XmlError err;
  return com::MakeCom<Object>()->ReadElement(root, &err);
}

// Whether the element name `n` is `lit`, compared up to the first difference (names are short:
// a call to strcmp costs more than the compare).
template <size_t N>
bool NameIs(const char* n, const char (&lit)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (n[i] != lit[i]) return false;
  return true;
}

}  // namespace

bool ParseObjectText(std::string& text, pugi::xml_document* doc) {
  if (!doc->load_buffer_inplace(text.data(), text.size(), ObjectParseOptions(), pugi::encoding_utf8)) return false;
  UnescapeMarkedText(*doc);
  return true;
}

bool ReadCalculationReferences(pugi::xml_node root, components::ReferenceSummary* out) {
  if (!NameIs(root.name(), "Calculation") || !HasReadableVersion(root) || !Loads<ZrCalculation>(root)) return false;
  // One pass over the root's fields, each the first of its name, as child() would find it.
  pugi::xml_node name, script, libraries, parameters;
  for (pugi::xml_node field = root.first_child(); field; field = field.next_sibling()) {
    const char* n = field.name();
    switch (n[0]) {
      case 'N': if (!name && NameIs(n, "Name")) name = field; break;
      case 'S': if (!script && NameIs(n, "Script")) script = field; break;
      case 'L': if (!libraries && NameIs(n, "Libraries")) libraries = field; break;
      case 'P': if (!parameters && NameIs(n, "Parameters")) parameters = field; break;
      default: break;
    }
    if (name && script && libraries && parameters) break;
  }
  if (!name) return false;
  // Gathered first, then moved into place with one allocation each.
  thread_local std::vector<std::string> libs, calcs;
  thread_local std::vector<components::TagReference> tags;
  libs.clear();
  calcs.clear();
  tags.clear();
  for (pugi::xml_node lib = libraries.first_child(); lib; lib = lib.next_sibling())
    if (NameIs(lib.name(), "Library")) libs.emplace_back(lib.text().get());
  for (pugi::xml_node param = parameters.first_child(); param; param = param.next_sibling()) {
    if (!NameIs(param.name(), "Parameter")) continue;
    // One pass over the parameter's fields, the first of each name counting, as the engine
    // reads them; it ends once all five are found (most files hold many parameters).
    const char *pname = nullptr, *kind = "", *server = "", *tag = "", *calc = "";
    unsigned found = 0;
    for (pugi::xml_node field = param.first_child(); field && found != 31; field = field.next_sibling()) {
      const char* n = field.name();
      switch (n[0]) {
        case 'N': if (!(found & 1) && NameIs(n, "Name")) pname = field.child_value(), found |= 1; break;
        case 'K': if (!(found & 2) && NameIs(n, "Kind")) kind = field.child_value(), found |= 2; break;
        case 'S': if (!(found & 4) && NameIs(n, "ServerName")) server = field.child_value(), found |= 4; break;
        case 'T': if (!(found & 8) && NameIs(n, "TagName")) tag = field.child_value(), found |= 8; break;
        case 'C': if (!(found & 16) && NameIs(n, "CalcName")) calc = field.child_value(), found |= 16; break;
        default: break;
      }
    }
    if (!pname) return false;
    long k = 0;
    std::from_chars(kind, kind + std::strlen(kind), k);
    if (k == components::kParamCalculation) {
      calcs.emplace_back(calc);
    } else if (k == components::kParamTag) {
      tags.push_back({pname, server, tag});
    }
  }
  out->libraries.insert(out->libraries.end(), std::make_move_iterator(libs.begin()), std::make_move_iterator(libs.end()));
  out->calculations.insert(out->calculations.end(), std::make_move_iterator(calcs.begin()),
                           std::make_move_iterator(calcs.end()));
  out->tags.insert(out->tags.end(), std::make_move_iterator(tags.begin()), std::make_move_iterator(tags.end()));
  out->formulas = FormulaReferences(script.child_value());
  return true;
}

bool ReadLibraryReferences(pugi::xml_node root, components::LibrarySummary* out) {
  if (!NameIs(root.name(), "Library") || !HasReadableVersion(root) || !Loads<ZrLibrary>(root)) return false;
  pugi::xml_node name, formulas;
  for (pugi::xml_node field = root.first_child(); field && !(name && formulas); field = field.next_sibling()) {
    const char* n = field.name();
    if (!name && NameIs(n, "Name")) name = field;
    if (!formulas && NameIs(n, "Formulas")) formulas = field;
  }
  if (!name) return false;
  for (pugi::xml_node formula = formulas.first_child(); formula; formula = formula.next_sibling()) {
    if (!NameIs(formula.name(), "Calculation")) continue;
    auto& [fname, refs] = out->formulas.emplace_back(formula.child_value("Name"), components::ReferenceSummary{});
    if (!ReadCalculationReferences(formula, &refs)) return false;
  }
  return true;
}

namespace {

// The scan takes only files the engine loads; what it declines is read as a document.
template <class Summary>
bool FileReferences(std::string& text, Summary* out, bool (*scan)(std::string_view, Summary*),
                    bool (*read)(pugi::xml_node, Summary*)) {
  if (scan(text, out)) return true;
  *out = Summary{};
  pugi::xml_document doc;
  return ParseObjectText(text, &doc) && read(doc.document_element(), out);
}

}  // namespace

bool CalculationFileReferences(std::string& text, components::ReferenceSummary* out) {
  return FileReferences(text, out, &ScanCalculationReferences, &ReadCalculationReferences);
}

bool LibraryFileReferences(std::string& text, components::LibrarySummary* out) {
  return FileReferences(text, out, &ScanLibraryReferences, &ReadLibraryReferences);
}

}  // namespace kv::engine
