// The registry file parser on any text: it never crashes, and what it accepts is formatted into
// a text that parses back to the same formatted text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "platform/registry_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv::platform;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegHiveData hive;
  RegParseError err;
  if (!ParseRegistryText(text, &hive, &err)) {
    FUZZ_CHECK(err.line >= 1);
    return 0;
  }
  const std::string formatted = FormatRegistryText(hive, "\\\\Machine");
  RegHiveData again;
  FUZZ_CHECK(ParseRegistryText(formatted, &again, &err));
  FUZZ_CHECK(FormatRegistryText(again, "\\\\Machine") == formatted);
  return 0;
}
