#pragma once
// The names the server is known by on D-Bus: object paths, interfaces and error names. Clients
// (ours and others) rely on these strings; change them only together with the clients.
namespace kv::protocol {

inline constexpr char kBusName[] = "com.quorlith.Kelvarin";
inline constexpr char kRootPath[] = "/com/quorlith/Kelvarin";
// Objects handed to clients live below this path, one numbered child each.
inline constexpr char kObjectPathPrefix[] = "/com/quorlith/Kelvarin/obj/";
inline constexpr char kObjectDirPath[] = "/com/quorlith/Kelvarin/obj";
// The path a null object travels as.
inline constexpr char kNullObjectPath[] = "/";

inline constexpr char kClassFactoryInterface[] = "com.quorlith.Kelvarin.ClassFactory";
inline constexpr char kDispatchInterface[] = "com.quorlith.Kelvarin.IDispatch";
// A command object's typed interface is this prefix plus its table's name ("ICalcCommands").
inline constexpr char kTypedInterfacePrefix[] = "com.quorlith.Kelvarin.";

// The scheduler's health for admins, on the root object: GroupHealth() returns one row per group
// thread, a(sdddddttdd): name, rate (s), next run (UTC OLE date), last start (UTC OLE date),
// lateness of the last start (s, start - due), duration of the last run (s), runs, missed runs,
// earliest and latest lateness over every run after the thread's first (s).
inline constexpr char kSchedulerInterface[] = "com.quorlith.Kelvarin.Scheduler";
inline constexpr char kGroupHealthMethod[] = "GroupHealth";
inline constexpr char kGroupHealthSignature[] = "a(sdddddttdd)";
// ItemHealth() returns one row per scheduled calculation, in group order, a(ssttissd): group,
// calculation, runs and failed runs since the server started, and the last run's Level, Status,
// error text and time (UTC OLE date, 0 never).
inline constexpr char kItemHealthMethod[] = "ItemHealth";
inline constexpr char kItemHealthSignature[] = "a(ssttissd)";

inline constexpr char kIntrospectableInterface[] = "org.freedesktop.DBus.Introspectable";
inline constexpr char kPeerInterface[] = "org.freedesktop.DBus.Peer";
inline constexpr char kDBusInterface[] = "org.freedesktop.DBus";
inline constexpr char kDBusPath[] = "/org/freedesktop/DBus";
inline constexpr char kLocalInterface[] = "org.freedesktop.DBus.Local";

// A failed HRESULT from an object; the message is the value as "0x%08X", then for a known
// status a space and "NAME: text" ("0x800401F3 CO_E_CLASSSTRING: invalid class string").
inline constexpr char kErrorHResult[] = "com.quorlith.Kelvarin.Error.HRESULT";
// An argument named an object path the caller does not hold.
inline constexpr char kErrorUnknownObjectArg[] = "com.quorlith.Kelvarin.Error.UnknownObject";
inline constexpr char kErrorInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char kErrorUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
inline constexpr char kErrorUnknownObject[] = "org.freedesktop.DBus.Error.UnknownObject";
inline constexpr char kErrorUnknownInterface[] = "org.freedesktop.DBus.Error.UnknownInterface";
inline constexpr char kErrorFailed[] = "org.freedesktop.DBus.Error.Failed";

}  // namespace kv::protocol
