// The name rule on any bytes: what it accepts stays inside the store, fits with every suffix,
// and shows nothing an operator cannot see.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/store_layout.h"
#include "fuzz_check.h"
#include "platform/path.h"
#include "platform/utf8.h"
#include "store/store_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv;
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  for (auto kind : {store::NameKind::Calculation, store::NameKind::Library, store::NameKind::Folder,
                    store::NameKind::Application}) {
    if (!store::IsValidName(name, kind)) continue;
    FUZZ_CHECK(!name.empty() && name.size() <= store::kMaxNameBytes);
    // Well-formed UTF-8: the lenient round trip changes nothing.
    FUZZ_CHECK(platform::Utf16ToUtf8(platform::Utf8ToUtf16(name)) == name);
    for (unsigned char c : name) FUZZ_CHECK(c >= 0x20 && c != 0x7F && c != ' ' && c != '/');
    FUZZ_CHECK(name.find("..") == std::string_view::npos);
    const size_t slashes = std::count(name.begin(), name.end(), '\\');
    FUZZ_CHECK(slashes == 0 || (kind == store::NameKind::Calculation && slashes == 1));
    const std::string path = platform::ToFsPath(layout::StoredCalcPath("/base", name));
    FUZZ_CHECK(path.rfind("/base/Calc/", 0) == 0);
    FUZZ_CHECK(path.find("/./") == std::string::npos && path.find("//") == std::string::npos);
    if (slashes == 1) {
      const std::string_view folder = name.substr(0, name.find('\\'));
      FUZZ_CHECK(!layout::IsStoreDirectoryName(folder) && folder.find('.') == std::string_view::npos);
    }
  }
  return 0;
}
