#pragma once
// Reads the outgoing references of a calculation or library from its object file's XML:
// parameters of kind 2 (the calculation named in CalcName), kind 1 (ServerName and TagName),
// the "Libraries" list and the formulas its script reaches (FormulaReferences, script_names.h).
#include <pugixml.hpp>

#include <string_view>

#include "components/reference_components.h"

namespace kv::engine {

// False when `root` is not a <Calculation> element the engine reads (root name, version, a
// name, every parameter named); *out is then left incomplete.
bool ReadCalculationReferences(pugi::xml_node root, components::ReferenceSummary* out);
// False when `root` is not a readable <Library> element or one of its formulas is not.
bool ReadLibraryReferences(pugi::xml_node root, components::LibrarySummary* out);

// The whole file's text, parsed as the engine parses object files (the buffer is parsed in
// place and must outlive the document).
bool ParseObjectText(std::string& text, pugi::xml_document* doc);

// A file's text to its summary: read straight from the text where it is in plain form
// (reference_scan.h), else parsed. False where the above would be. The text is parsed in place.
bool CalculationFileReferences(std::string& text, components::ReferenceSummary* out);
bool LibraryFileReferences(std::string& text, components::LibrarySummary* out);

}  // namespace kv::engine
