#include "app/service_files.h"

#include "app/service_names.h"
#include "protocol/interface_xml.h"
#include "protocol/method_info.h"
#include "protocol/typed_interface.h"

namespace kv::app {

namespace {

// A double-quoted word of a unit file: the escapes of its quoting, and "%" doubled so no
// specifier is expanded; `dollar` doubles "$" where variables would be expanded (ExecStart).
std::string Quoted(const std::string& text, bool dollar = false) {
  std::string q = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') q += '\\';
    if (c == '%') q += '%';
    if (dollar && c == '$') q += '$';
    q += c;
  }
  return q + "\"";
}

std::string OwnerOf(const std::string& account) { return account.empty() ? "root" : account; }

}  // namespace

std::string UnitFileText(const UnitSettings& s) {
  auto hasBreak = [](const std::string& t) { return t.find_first_of("\r\n") != std::string::npos; };
  if (hasBreak(s.execPath) || hasBreak(s.account) || hasBreak(s.registryDir) || hasBreak(s.programDataDir)) return "";
  for (const std::string& p : s.writablePaths)
    if (hasBreak(p)) return "";

  std::string t;
  t += "[Unit]\n";
  t += std::string("Description=") + kServiceDisplayName + "\n";
  t += "Documentation=man:kelvarin(8)\n";
  t += "After=dbus.service\n";
  t += "\n[Service]\n";
  t += "Type=notify\n";
  t += "NotifyAccess=main\n";
  // The service serves the system bus; its name is taken before READY=1.
  t += "ExecStart=" + Quoted(s.execPath, true) + " --bus=system\n";
  if (!s.account.empty()) t += "User=" + s.account + "\n";
  t += "Restart=on-failure\n";
  t += "WatchdogSec=" + std::to_string(s.watchdogSec) + "\n";
  if (!s.registryDir.empty()) t += "Environment=" + Quoted("KELVARIN_REGISTRY_DIR=" + s.registryDir) + "\n";
  if (!s.programDataDir.empty()) t += "Environment=" + Quoted("KELVARIN_PROGRAMDATA=" + s.programDataDir) + "\n";
  t += "ProtectSystem=strict\n";
  // "-": a folder that does not exist yet does not keep the service from starting.
  for (const std::string& p : s.writablePaths) t += "ReadWritePaths=" + Quoted("-" + p) + "\n";
  t += "NoNewPrivileges=yes\n";
  t += "PrivateTmp=yes\n";
  // The server reads and writes its store, registry and log folders and talks over local
  // sockets; it needs no device, no other user's home, no privilege and no kernel setting.
  t += "UMask=0027\n";
  t += "ProtectHome=yes\n";
  t += "PrivateDevices=yes\n";
  t += "ProtectKernelTunables=yes\n";
  t += "ProtectKernelModules=yes\n";
  t += "ProtectKernelLogs=yes\n";
  t += "ProtectControlGroups=yes\n";
  t += "ProtectClock=yes\n";
  t += "ProtectHostname=yes\n";
  t += "ProtectProc=invisible\n";
  t += "ProcSubset=pid\n";
  t += "CapabilityBoundingSet=\n";
  t += "AmbientCapabilities=\n";
  t += "RestrictSUIDSGID=yes\n";
  t += "RestrictNamespaces=yes\n";
  t += "RestrictRealtime=yes\n";
  t += "LockPersonality=yes\n";
  t += "MemoryDenyWriteExecute=yes\n";
  t += "PrivateUsers=yes\n";
  t += "RemoveIPC=yes\n";
  t += "KeyringMode=private\n";
  // Local sockets for the bus and the clients; IP for tag sources on other machines.
  t += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n";
  t += "SystemCallArchitectures=native\n";
  t += "SystemCallFilter=@system-service\n";
  t += "SystemCallFilter=~@privileged\n";
  // A refused call fails with EPERM rather than killing the server (a group thread's nice value
  // that cannot be lowered is already one the server lives with).
  t += "SystemCallErrorNumber=EPERM\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

std::string BusPolicyText(const std::string& account) {
  return std::string(
             "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             "<!-- The calculation server: only its own account owns the name. Anyone may call it;\n"
             "     the server's access gate decides what each caller may do. -->\n"
             "<busconfig>\n"
             "  <policy user=\"") +
         protocol::XmlEscape(OwnerOf(account)) + "\">\n" + "    <allow own=\"" + kBusName + "\"/>\n" +
         "  </policy>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"" +
         kBusName + "\"/>\n" +
         "  </policy>\n"
         "</busconfig>\n";
}

std::string BusActivationText(const std::string& account) {
  return std::string("[D-BUS Service]\nName=") + kBusName + "\nExec=/bin/false\nUser=" + OwnerOf(account) +
         "\nSystemdService=" + kUnitFileName + "\n";
}

std::string InterfacesXmlText() {
  const std::string calc = protocol::TypedInterfaceXml(protocol::TypedInterface::For(ICalcCommandsInterface()));
  const std::string app =
      protocol::TypedInterfaceXml(protocol::TypedInterface::For(ICalcAppCommandsInterface()));
  return protocol::NodeXml({&calc, &app}, {});
}

}  // namespace kv::app
