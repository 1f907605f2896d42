// The edit-owner parser on any text, and the owner strings the store writes read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "store/edit_owner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv::store;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string node = "n", editor = "e", date = "d";
  ParseOwnerString(text, &node, &editor, &date);
  // Every field is a part of the input (or the value it had).
  for (const std::string* f : {&node, &editor, &date})
    FUZZ_CHECK(f->size() <= 1 || text.find(*f) != std::string_view::npos);

  // The input split at its first NUL into a node and an editor: the owner string made of them
  // gives them back when neither holds a ')' and neither is empty.
  const size_t cut = text.find('\0');
  const std::string_view n = text.substr(0, cut), e = cut == std::string_view::npos ? "" : text.substr(cut + 1);
  if (n.empty() || e.empty() || n.find(')') != std::string_view::npos || e.find(')') != std::string_view::npos)
    return 0;
  std::string pn, pe, pd;
  ParseOwnerString(MakeOwnerString(n, e, 42370.5), &pn, &pe, &pd);
  FUZZ_CHECK(pn == n);
  FUZZ_CHECK(pe == e);
  FUZZ_CHECK(!pd.empty());
  return 0;
}
