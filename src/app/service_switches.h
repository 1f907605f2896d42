#pragma once
// The installation and registration switches: argument 1 of the command line, compared whole
// and without regard to case. Anything else runs the server.
#include <string_view>

namespace kv::app {

enum class ServiceSwitch { None, Unregister, Register, InstallDebug };

// Groups are tested in this order: unregister, register, debug install.
ServiceSwitch ClassifySwitch(std::string_view arg);

}  // namespace kv::app
