#include "client/connection.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "client/remote_object.h"
#include "com/guid.h"
#include "protocol/socket_path.h"
#include "protocol/wire_names.h"

namespace kv::client {

using com::Variant;
using protocol::kBusName;
using protocol::kClassFactoryInterface;
using protocol::kRootPath;

namespace {

std::string ErrnoText(int r) { return std::strerror(r < 0 ? -r : r); }

bool IsTransportErrno(int r) {
  return r == -ETIMEDOUT || r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ECONNREFUSED ||
         r == -ESHUTDOWN;
}

// The method table of a class the factory makes, when it is a command class.
const InterfaceTable* TableOfClass(std::string_view classId) {
  for (const InterfaceTable* t : {&ICalcCommandsInterface(), &ICalcAppCommandsInterface()}) {
    com::GUID g;
    if (com::GUID::Parse(classId, &g)) {
      if (g == t->clsid) return t;
      continue;
    }
    std::string_view name = classId;
    if (name.size() > t->progId.size() && name.substr(t->progId.size()) == ".1") name = name.substr(0, t->progId.size());
    if (com::NamesEqual(name, t->progId)) return t;
  }
  return nullptr;
}

// The HRESULT an object failed with, as the server reports it ("0x80004001", possibly followed
// by " NAME: text").
int32_t HResultOf(const sd_bus_error& e) {
  if (!e.name || !e.message || std::strcmp(e.name, protocol::kErrorHResult) != 0) return 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(e.message, &end, 16);
  return end != e.message && (*end == 0 || *end == ' ') && v <= 0xFFFFFFFFul ? static_cast<int32_t>(static_cast<uint32_t>(v)) : 0;
}

}  // namespace

class Connection::PathMap : public protocol::ObjectPaths {
 public:
  explicit PathMap(Connection* owner) : owner_(owner) {}
  std::string PathOf(const com::ComPtr<com::IUnknown>& obj) override {
    std::shared_ptr<RemoteObject> ro = RemoteObjectOf(obj.Get());
    return ro && ro->connection().get() == owner_ ? ro->path() : std::string();
  }
  bool ObjectAt(const std::string& path, com::ComPtr<com::IUnknown>* obj) override {
    Variant v = ObjectVariant(std::make_shared<RemoteObject>(owner_->shared_from_this(), path, nullptr));
    *obj = v.unknown();
    return true;
  }

 private:
  Connection* owner_;
};

std::string Connection::UnixAddress(std::string_view socketPath) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "unix:path=";
  for (unsigned char c : socketPath) {
    if (std::isalnum(c) || std::strchr("-_/.\\*", c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string Connection::DefaultAddress() { return UnixAddress(protocol::DefaultSocketPath()); }

Connection::Connection(sd_bus* bus, std::string destination)
    : bus_(bus), destination_(std::move(destination)), paths_(std::make_unique<PathMap>(this)) {}

Connection::~Connection() { sd_bus_close_unref(bus_); }

Status Connection::Open(const std::string& address, std::shared_ptr<Connection>* out) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) return Status(Status::Code::kConnect, "cannot create a bus connection: " + ErrnoText(r));
  if ((r = sd_bus_set_address(bus, address.c_str())) >= 0) r = sd_bus_start(bus);
  if (r < 0) {
    sd_bus_unref(bus);
    return Status(Status::Code::kConnect, "cannot connect to " + address + ": " + ErrnoText(r));
  }
  out->reset(new Connection(bus, ""));
  return Status();
}

Status Connection::OpenBus(Bus which, std::shared_ptr<Connection>* out) {
  sd_bus* bus = nullptr;
  int r = which == Bus::kSystem ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
  if (r < 0)
    return Status(Status::Code::kConnect,
                  std::string("cannot connect to the ") + (which == Bus::kSystem ? "system" : "session") +
                      " bus: " + ErrnoText(r));
  out->reset(new Connection(bus, kBusName));
  return Status();
}

protocol::ObjectPaths& Connection::Paths() { return *paths_; }

Status Connection::NewCall(const std::string& path, const char* interface, const char* member, sd_bus_message** m) {
  int r = sd_bus_message_new_method_call(bus_, m, destination_.empty() ? nullptr : destination_.c_str(),
                                         path.c_str(), interface, member);
  if (r < 0) return Status(Status::Code::kTransport, std::string("cannot build a call of ") + member + ": " + ErrnoText(r));
  return Status();
}

Status Connection::Send(sd_bus_message* m, sd_bus_message** reply) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_call(bus_, m, timeoutUsec_, &error, reply);
  if (r >= 0) return Status();
  Status st;
  if (IsTransportErrno(r) || sd_bus_is_open(bus_) <= 0 || !sd_bus_error_is_set(&error))
    st = Status(Status::Code::kTransport, "call failed: " + ErrnoText(r));
  else
    st = Status(Status::Code::kRemote, error.message ? error.message : "", error.name, HResultOf(error));
  sd_bus_error_free(&error);
  return st;
}

Status Connection::CreateInstance(std::string_view classId, std::shared_ptr<RemoteObject>* out) {
  sd_bus_message* m = nullptr;
  sd_bus_message* reply = nullptr;
  Status st = NewCall(kRootPath, kClassFactoryInterface, "CreateInstance", &m);
  if (st.ok()) {
    std::string id(classId);
    int r = sd_bus_message_append_basic(m, 's', id.c_str());
    st = r < 0 ? Status(Status::Code::kInvalidArgument, "bad class name: " + ErrnoText(r)) : Send(m, &reply);
  }
  if (st.ok()) {
    const char* path = nullptr;
    if (sd_bus_message_read_basic(reply, 'o', &path) <= 0 || !path)
      st = Status(Status::Code::kProtocol, "CreateInstance answered without an object path");
    else if (std::strcmp(path, "/") == 0)
      st = Status(Status::Code::kRemote, "CreateInstance made no object");
    else
      *out = std::make_shared<RemoteObject>(shared_from_this(), path, TableOfClass(classId));
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(m);
  return st;
}

}  // namespace kv::client
