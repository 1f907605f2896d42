#include "protocol/socket_path.h"

#include <unistd.h>

#include <cstdlib>

namespace kv::protocol {

std::string DefaultSocketPath() { return DefaultSocketPath(geteuid()); }

std::string DefaultSocketPath(uid_t euid) {
  if (const char* s = std::getenv("KELVARIN_SOCKET"); s && *s) return s;
  if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && *r) return std::string(r) + "/kelvarin/bus";
  if (euid == 0) return "/run/kelvarin/bus";
  return "/tmp/kelvarin-" + std::to_string(euid) + "/bus";
}

}  // namespace kv::protocol
