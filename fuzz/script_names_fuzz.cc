// The compiler-based script analysis on any text: it never crashes (a script nested past the
// compiler's limit is an error), what it reports is consistent, and the thread's reused compiler
// carries nothing from one script to the next.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/script_names.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kv::engine::ScriptNames;
  const std::string script(reinterpret_cast<const char*>(data), size);
  ScriptNames names;
  std::string error;
  const bool ok = kv::engine::AnalyzeScript(script, "fuzz", &names, &error);
  FUZZ_CHECK(kv::engine::FormulaReferences(script) == (ok ? names.fields : decltype(names.fields){}));
  if (!ok) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  std::vector<std::string> both = names.read;
  both.insert(both.end(), names.written.begin(), names.written.end());
  std::sort(both.begin(), both.end());
  both.erase(std::unique(both.begin(), both.end()), both.end());
  FUZZ_CHECK(names.globals == both);
  FUZZ_CHECK(std::is_sorted(names.fields.begin(), names.fields.end()));
  FUZZ_CHECK(std::adjacent_find(names.fields.begin(), names.fields.end()) == names.fields.end());
  for (const auto& [global, field] : names.fields)
    FUZZ_CHECK(std::binary_search(names.read.begin(), names.read.end(), global));
  ScriptNames again;
  FUZZ_CHECK(kv::engine::AnalyzeScript(script, "fuzz", &again, &error));
  FUZZ_CHECK(again.globals == names.globals && again.read == names.read && again.written == names.written &&
             again.fields == names.fields);
  return 0;
}
