#pragma once
// Reads the outgoing references of an object file straight from its text, without building a
// document: the cross-reference commands read every file of a store, and building a tree of
// some seventy nodes per file only to look at a dozen of them costs as much again as the
// parse. It reads the plain form the engine writes and declines everything else (comments,
// CDATA, character references, names outside ASCII, unusual nesting, anything it is not sure
// of); the caller then parses the text as a document (reference_summary.h). Whatever it
// accepts the document parser accepts too, and reads to the same summary.
#include <string_view>

#include "components/reference_components.h"

namespace kv::engine {

// True with *out filled when `text` is a plain calculation file; false when declined, with
// *out unspecified. The text is left as it was, for the document parser.
bool ScanCalculationReferences(std::string_view text, components::ReferenceSummary* out);
// The same for a library file.
bool ScanLibraryReferences(std::string_view text, components::LibrarySummary* out);

}  // namespace kv::engine
