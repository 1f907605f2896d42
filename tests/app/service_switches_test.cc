#include "app/service_switches.h"

#include <gtest/gtest.h>

namespace kv::app {
namespace {

TEST(ServiceSwitches, WholeWordsInAnyCaseBareOrAfterDashOrSlash) {
  struct Case {
    const char* arg;
    ServiceSwitch want;
  } cases[] = {
      {"RegServer", ServiceSwitch::Register},   {"/REGSERVER", ServiceSwitch::Register},
      {"regserver", ServiceSwitch::Register},   {"-Service", ServiceSwitch::Register},
      {"/install", ServiceSwitch::Register},
      {"Register", ServiceSwitch::Register},    {"-unregserver", ServiceSwitch::Unregister},
      {"/Uninstall", ServiceSwitch::Unregister}, {"REMOVE", ServiceSwitch::Unregister},
      {"Unregister", ServiceSwitch::Unregister}, {"-InstallDebug", ServiceSwitch::InstallDebug},
      {"installdebug", ServiceSwitch::InstallDebug},
      // Not switches: the server runs.
      {"--RegServer", ServiceSwitch::None},     {"RegServer2", ServiceSwitch::None},
      {"Reg", ServiceSwitch::None},             {"\\Install", ServiceSwitch::None},
      {"", ServiceSwitch::None},                {"--socket", ServiceSwitch::None},
      {"-/Install", ServiceSwitch::None},       {"Install ", ServiceSwitch::None},
  };
  for (const Case& c : cases) EXPECT_EQ(ClassifySwitch(c.arg), c.want) << "'" << c.arg << "'";
}

}  // namespace
}  // namespace kv::app
