#include "platform/path.h"

namespace kv::platform {

std::string ToFsPath(std::string_view winPath) {
  std::string out(winPath);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '\\' && out.back() != '/') out += '\\';
  size_t skip = 0;
  while (skip < name.size() && (name[skip] == '\\' || name[skip] == '/')) ++skip;
  out.append(name.substr(skip));
  return out;
}

}  // namespace kv::platform
