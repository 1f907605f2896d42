#pragma once
// The names under which the server is installed and registered.
namespace kv::app {

inline constexpr char kServiceName[] = "CalculatorServerService";
inline constexpr char kServiceDisplayName[] = "Quorlith Calculator Engine";
inline constexpr char kServiceDescription[] = "Execute calculations";
inline constexpr char kUnitFileName[] = "CalculatorServerService.service";
// The executable's name in the AppID key (kept from the original registration).
inline constexpr char kAppIdExeName[] = "Kelvarin.exe";

inline constexpr char kAppId[] = "{CA2C4FFF-C994-11D1-B80D-00A024E52FDC}";
inline constexpr char kTypeLibId[] = "{665D06C5-D538-11D1-A6DD-00E02900BE0C}";

struct RegisteredClass {
  const char* clsid;
  const char* name;
  const char* progId;         // versioned
  const char* indepProgId;    // version-independent
};
inline constexpr RegisteredClass kRegisteredClasses[] = {
    {"{CA2C4C34-11E1-11D2-A739-00E02900BE0C}", "Morvane Calc App Commands", "Kelvarin.CalcAppCommands.1",
     "Kelvarin.CalcAppCommands"},
    {"{CA2C4E0D-C994-11D1-B80D-00A024E52FDC}", "Morvane Calc Commands", "Kelvarin.CalcCommands.1",
     "Kelvarin.CalcCommands"},
};

// HKLM keys.
inline constexpr char kServicesKey[] = "System\\CurrentControlSet\\Services\\CalculatorServerService";
inline constexpr char kClassesKey[] = "SOFTWARE\\Classes";

// D-Bus names and the files that carry them.
inline constexpr char kBusName[] = "com.quorlith.Kelvarin";
inline constexpr char kBusPolicyFileName[] = "com.quorlith.Kelvarin.conf";
inline constexpr char kBusActivationFileName[] = "com.quorlith.Kelvarin.service";
inline constexpr char kInterfacesFileName[] = "com.quorlith.Kelvarin.xml";

}  // namespace kv::app
