#include "app/service_switches.h"

#include <strings.h>

#include <string>

namespace kv::app {

namespace {

struct Group {
  ServiceSwitch what;
  const char* names[4];  // each accepted bare, after "-" and after "/"
};
constexpr Group kGroups[] = {
    {ServiceSwitch::Unregister, {"Unregister", "UnregServer", "Uninstall", "Remove"}},
    {ServiceSwitch::Register, {"RegServer", "Register", "Service", "Install"}},
    {ServiceSwitch::InstallDebug, {"InstallDebug", nullptr, nullptr, nullptr}},
};

}  // namespace

ServiceSwitch ClassifySwitch(std::string_view arg) {
  for (const Group& g : kGroups)
    for (const char* name : g.names) {
      if (!name) continue;
      for (const char* prefix : {"", "-", "/"}) {
        const std::string form = std::string(prefix) + name;
        if (arg.size() == form.size() && strncasecmp(arg.data(), form.data(), form.size()) == 0) return g.what;
      }
    }
  return ServiceSwitch::None;
}

}  // namespace kv::app
