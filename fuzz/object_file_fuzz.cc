// The object-file loader on any text, as a calculation and as a library: it never crashes, a
// failed load leaves the object as it was, and what loads saves into a form that loads again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/calculation.h"
#include "engine/library.h"
#include "fuzz_check.h"
#include "log/error_log.h"

namespace {

template <class Object>
void LoadAndReload(std::string_view text) {
  auto object = kv::com::MakeCom<Object>();
  object->SetName(kv::com::Bstr::FromUtf8("keep"));
  if (kv::com::FAILED(object->FromXml(text, "fuzz"))) {
    FUZZ_CHECK(object->Name() == "keep");
    return;
  }
  const std::string saved = object->ToXml();
  auto again = kv::com::MakeCom<Object>();
  FUZZ_CHECK(kv::com::SUCCEEDED(again->FromXml(saved, "saved")));
  FUZZ_CHECK(again->ToXml() == saved);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    kv::log::SetErrorSink([](std::string_view, std::string_view) {});
    return true;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  LoadAndReload<kv::engine::ZrCalculation>(text);
  LoadAndReload<kv::engine::ZrLibrary>(text);
  return 0;
}
