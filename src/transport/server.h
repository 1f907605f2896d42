#pragma once
// The D-Bus face of the dispatch objects. Serves either a private unix socket (peer-to-peer,
// several clients at once) or a name on the system or session bus.
//
// On the wire (names in wire_names.h):
//   /com/quorlith/Kelvarin, com.quorlith.Kelvarin.ClassFactory:
//     CreateInstance(s class) -> o   class: a ProgID or "{CLSID}"; the object is created on
//                                    the apartment the pool hands out next
//   /com/quorlith/Kelvarin/obj/<n>, com.quorlith.Kelvarin.IDispatch:
//     GetIDsOfNames(s name) -> i
//     Invoke(i dispid, u flags, a(qv) args) -> ((qv) result, a(qv) byref)
//                                    byref: the argument list after the call
//     Release()
//   and, for command objects, com.quorlith.Kelvarin.<table name> with every method of the
//   table (see typed_interface.h); typed and late-bound calls both go through Invoke.
//   The root object also answers the interfaces the process adds (Options::rootInterfaces).
//   Every path also answers org.freedesktop.DBus.Introspectable and .Peer; on the private
//   socket /org/freedesktop/DBus answers Hello with a made-up unique name. Calls work with and
//   without the interface field.
//
// Errors: a failed HRESULT answers com.quorlith.Kelvarin.Error.HRESULT with "0x%08X" as the
// message, followed by " NAME: text" when the status is known (com/hresult_names.h); a wrong signature org.freedesktop.DBus.Error.InvalidArgs; an unknown method
// UnknownMethod; a path the caller does not hold UnknownObject (as the called path) or
// com.quorlith.Kelvarin.Error.UnknownObject (as an argument). A call that fails this way has
// called nothing.
//
// Threading: Start, Run and the destructor belong to one thread at a time (the bus thread runs
// inside Run). The bus thread never runs object code: each call is decoded there, posted to the
// object's apartment (calls run with the client's identity as the call context), and its reply
// is sent from the bus thread when the apartment is done. Objects returned by a call are bound
// to the apartment of the object that returned them and belong to the calling client. A
// client's objects are released on their apartments when it calls Release or goes away.
// Private-socket connections are served in turn, a few messages each per loop turn, so one
// client's backlog does not hold up the others. Stopping never waits for a client to read.
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/apartment_pool.h"

typedef struct sd_bus_message sd_bus_message;

namespace kv::transport {

struct ServerCore;

// Writes a method's out values into its reply, on the bus thread; a negative errno when it
// cannot (the caller then gets the error instead). Empty: the reply carries no values.
using ReplyWriter = std::function<int(sd_bus_message* reply)>;

// A method the process adds on the root object, beside the class factory: the server knows only
// its name and reply; what it does belongs to whoever registers it. It takes no arguments.
struct RootMethod {
  std::string name;
  std::string outSignature;  // what the reply carries, for introspection
  std::string outName;       // the name introspection gives those values
  // Runs on an apartment with the caller's identity, never on the bus thread (so it may wait
  // for locks object code holds), and returns what writes the reply. A throw answers
  // E_UNEXPECTED. Copied into each call's work, which may outlive the server.
  std::function<ReplyWriter()> run;
};

// An interface of such methods. A call that names the interface, or names none and a method of
// it, is its; another member of it answers UnknownMethod.
struct RootInterface {
  std::string name;
  std::vector<RootMethod> methods;
};

class Server {
 public:
  struct Options {
    enum Bus { Private, System, Session };
    std::string socketPath;  // Private: the socket to listen on
    Bus bus = Private;
    // Called on the bus thread when the last object held by any client has been released (the
    // release has run on its apartment), unless a creation is still under way.
    std::function<void()> onLastObjectReleased;
    // Per connection, so one hostile client cannot exhaust the process. A private-socket client
    // whose unsent replies exceed maxQueuedBytes (it stopped reading) is disconnected; a client
    // with maxPendingCalls calls unanswered is not read from until some are answered (on a bus,
    // further calls answer LimitsExceeded); creating or receiving objects beyond maxObjects
    // answers LimitsExceeded.
    size_t maxQueuedBytes = size_t{16} << 20;
    size_t maxPendingCalls = 1024;
    size_t maxObjects = 10000;
    // Interfaces the root object answers beyond the class factory, listed by introspection in
    // this order.
    std::vector<RootInterface> rootInterfaces;
  };

  // `pool` must outlive the server.
  Server(Options options, ApartmentPool& pool);
  // Stops serving, closes every connection and releases every object on its apartment
  // (without waiting for those releases).
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the socket (or connects to the bus and takes the name). 0 on success, else a
  // negative errno with `error` (optional) saying what failed.
  int Start(std::string* error = nullptr);
  // Serves until Stop(). Returns 0, or a negative errno when the event loop failed.
  int Run();
  // Makes Run() return soon; Run() returns at once when Stop() came first. Any thread,
  // async-signal-safe.
  void Stop();

  // "unix:path=<socket>" in private mode; empty on a bus.
  std::string Address() const;
  // Open client connections (private mode) or clients known by sender (bus mode). Any thread.
  size_t ConnectionCount() const;
  // Objects held by all clients. Any thread.
  long ObjectCount() const;

 private:
  std::unique_ptr<ServerCore> impl_;
};

}  // namespace kv::transport
