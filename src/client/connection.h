#pragma once
// A client connection to kelvarin: peer-to-peer on its private socket (the default) or through
// the system or session bus to the well-known name. Objects made through it (RemoteObject)
// keep it alive; it closes when the last of them and the last caller's reference are gone.
// Not thread-safe: use one connection from one thread at a time.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "client/status.h"
#include "protocol/variant_codec.h"

namespace kv::client {

class RemoteObject;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Bus { kSystem, kSession };

  // "unix:path=<socket>" for the socket the server listens on by default: $KELVARIN_SOCKET,
  // else $XDG_RUNTIME_DIR/kelvarin/bus, else /run/kelvarin/bus as root, else
  // /tmp/kelvarin-<uid>/bus (protocol/socket_path.h, the rule the server uses too).
  static std::string DefaultAddress();
  // A D-Bus address for a unix socket path, escaped as addresses require.
  static std::string UnixAddress(std::string_view socketPath);

  // Peer-to-peer to a D-Bus address ("unix:path=/run/kelvarin/bus"). kConnect when the
  // address is malformed or nothing listens there.
  static Status Open(const std::string& address, std::shared_ptr<Connection>* out);
  // Through a bus daemon, addressing the well-known name.
  static Status OpenBus(Bus bus, std::shared_ptr<Connection>* out);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Asks the class factory for a new object of `classId` (a ProgID such as
  // "Kelvarin.CalcCommands", with or without ".1", or a CLSID in braces). When the class is
  // one of the two command classes the object knows its typed interface (RemoteObject::Call);
  // other classes are reachable through Invoke only.
  Status CreateInstance(std::string_view classId, std::shared_ptr<RemoteObject>* out);

  // How long one call may take; 0 keeps sd-bus's default (25 s).
  void SetCallTimeout(uint64_t usec) { timeoutUsec_ = usec; }

  // Sends a method call built by NewCall and waits for its reply (*reply owned by the caller
  // on success). Error replies give kRemote (with the HRESULT when the server sent one); a
  // broken or timed-out connection kTransport.
  Status NewCall(const std::string& path, const char* interface, const char* member, sd_bus_message** m);
  Status Send(sd_bus_message* m, sd_bus_message** reply);

  // Maps object paths to RemoteObjects of this connection and back: every path that arrives
  // becomes a new RemoteObject (without a typed interface); only RemoteObjects of this
  // connection can go out.
  protocol::ObjectPaths& Paths();

 private:
  class PathMap;
  Connection(sd_bus* bus, std::string destination);

  sd_bus* bus_;
  std::string destination_;  // empty peer-to-peer
  uint64_t timeoutUsec_ = 0;
  std::unique_ptr<PathMap> paths_;
};

}  // namespace kv::client
