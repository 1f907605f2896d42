// Routing and answering calls on the bus thread. Object code never runs here: every call that
// reaches an object is posted to the object's apartment.
#include <systemd/sd-id128.h>

#include <cstring>
#include <string_view>

#include "com/contained_call.h"
#include "com/class_registry.h"
#include "com/hresult_names.h"
#include "protocol/interface_xml.h"
#include "transport/server_impl.h"
#include "protocol/wire_names.h"

namespace kv::transport {

namespace {

// How long the bus thread waits in place for a posted call to come back.
constexpr int kAnswerSpinMicros = 50;

constexpr char kErrorLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";
// Introspecting the object folder lists at most this many nodes: the reply is built on the bus
// thread, which every client waits on.
constexpr size_t kMaxIntrospectedChildren = 1000;
// A reply's header and framing, beyond its values.
constexpr size_t kMessageOverheadBytes = 128;

// Roughly what `v` takes on the wire; only to bound what a client leaves unread.
size_t WireBytes(const com::Variant& v) {
  if (v.IsArray()) {
    size_t n = 16;
    const com::SafeArray& a = v.array();
    for (size_t i = 0; i < a.Count(); ++i) n += WireBytes(a.At(i));
    return n;
  }
  if (v.vt() == com::VT_BSTR) return 16 + 3 * v.bstr().Length();  // UTF-16 units as UTF-8
  return 16;
}

bool Is(const char* a, const char* b) { return a && std::strcmp(a, b) == 0; }

int ReplyError(sd_bus_message* m, const char* name, const std::string& text) {
  sd_bus_reply_method_errorf(m, name, "%s", text.c_str());
  return 1;
}

// The hex value comes first and alone up to the first space, so that readers of the number need
// not know the names.
int ReplyHResult(sd_bus_message* m, com::HRESULT hr) {
  const std::string name = com::DescribeHResult(hr);
  sd_bus_reply_method_errorf(m, kErrorHResult, "0x%08X%s%s", static_cast<unsigned>(hr), name.empty() ? "" : " ",
                             name.c_str());
  return 1;
}

// False (and an InvalidArgs reply sent) when the call's arguments are not `signature`.
bool CheckSignature(sd_bus_message* m, const char* signature) {
  if (sd_bus_message_has_signature(m, signature) > 0) return true;
  const char* got = sd_bus_message_get_signature(m, true);
  ReplyError(m, kErrorInvalidArgs,
             std::string("Invalid arguments '") + (got ? got : "") + "' to call " +
                 (sd_bus_message_get_member(m) ? sd_bus_message_get_member(m) : "") + "(), expecting '" + signature + "'.");
  return false;
}

int ReplyCodecError(sd_bus_message* m, sd_bus_error* error, int r) {
  if (!sd_bus_error_is_set(error)) sd_bus_error_set_errno(error, r);
  sd_bus_reply_method_error(m, error);
  sd_bus_error_free(error);
  return 1;
}

bool IsDispatchMember(const char* member) {
  return Is(member, "GetIDsOfNames") || Is(member, "Invoke") || Is(member, "Release");
}

int AnswerPeer(sd_bus_message* m, const char* member) {
  if (Is(member, "Ping")) {
    if (!CheckSignature(m, "")) return 1;
    sd_bus_reply_method_return(m, "");
    return 1;
  }
  if (Is(member, "GetMachineId")) {
    if (!CheckSignature(m, "")) return 1;
    sd_id128_t id;
    int r = sd_id128_get_machine(&id);
    if (r < 0) return ReplyError(m, kErrorFailed, std::strerror(-r));
    char text[SD_ID128_STRING_MAX];
    sd_bus_reply_method_return(m, "s", sd_id128_to_string(id, text));
    return 1;
  }
  return ReplyError(m, kErrorUnknownMethod, std::string("Unknown method ") + member + " of " + kPeerInterface);
}

// The <interface> element of a root interface, written as the fixed ones are.
std::string RootInterfaceXml(const RootInterface& iface) {
  std::string out = " <interface name=\"" + XmlEscape(iface.name) + "\">\n";
  for (const RootMethod& m : iface.methods) {
    out += "  <method name=\"" + XmlEscape(m.name) + "\"";
    if (m.outSignature.empty()) {
      out += "/>\n";
      continue;
    }
    out += ">\n   <arg type=\"" + XmlEscape(m.outSignature) + "\" name=\"" + XmlEscape(m.outName) +
           "\" direction=\"out\"/>\n  </method>\n";
  }
  out += " </interface>\n";
  return out;
}

// The fixed nodes above the objects, and their one child.
const char* FixedChild(std::string_view path) {
  if (path == "/") return "com";
  if (path == "/com") return "quorlith";
  if (path == "/com/quorlith") return "Kelvarin";
  return nullptr;
}

}  // namespace

ServerCore::ServerCore(Server::Options o, ApartmentPool& p)
    : options(std::move(o)), pool(p), queue(std::make_shared<Queue>()) {
  for (const RootInterface& iface : options.rootInterfaces) rootInterfaceXml.push_back(RootInterfaceXml(iface));
}

const RootInterface* ServerCore::RootInterfaceOf(const char* iface, const char* member) const {
  for (const RootInterface& r : options.rootInterfaces) {
    if (iface) {
      if (r.name == iface) return &r;
      continue;
    }
    for (const RootMethod& m : r.methods)
      if (m.name == member) return &r;
  }
  return nullptr;
}

int ServerCore::OnMessage(sd_bus_message* m) {
  if (sd_bus_message_is_signal(m, kLocalInterface, "Disconnected") > 0) {
    auto it = byBus.find(sd_bus_message_get_bus(m));
    if (it != byBus.end()) CloseClient(FindClient(it->second));
    return 0;
  }
  uint8_t type = 0;
  if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) return 0;
  Client* c = ClientOf(m);
  const char* path = sd_bus_message_get_path(m);
  const char* iface = sd_bus_message_get_interface(m);
  const char* member = sd_bus_message_get_member(m);
  if (!c || !path || !member) return 0;
  // A peer-to-peer client is not read from at this point (ServeClient); a bus client cannot
  // be held up alone, so its calls are refused.
  if (c->inFlight >= options.maxPendingCalls)
    return ReplyError(m, kErrorLimitsExceeded,
                      "more than " + std::to_string(options.maxPendingCalls) + " calls of this client under way");

  if (Is(iface, kPeerInterface) || (!iface && (Is(member, "Ping") || Is(member, "GetMachineId"))))
    return AnswerPeer(m, member);
  if (!sharedBus && Is(path, kDBusPath) && Is(member, "Hello") && (!iface || Is(iface, kDBusInterface))) {
    sd_bus_reply_method_return(m, "s", (":1." + std::to_string(c->id)).c_str());
    return 1;
  }
  if (Is(iface, kIntrospectableInterface) || (!iface && Is(member, "Introspect"))) {
    if (!Is(member, "Introspect"))
      return ReplyError(m, kErrorUnknownMethod, std::string("Unknown method ") + member);
    return Introspect(*c, m, path);
  }
  if (Is(path, kRootPath)) {
    if (const RootInterface* root = RootInterfaceOf(iface, member)) {
      for (const RootMethod& method : root->methods)
        if (method.name == member) return CallRoot(*c, m, method);
      return ReplyError(m, kErrorUnknownMethod, std::string("Unknown method ") + member + " of " + iface);
    }
    if (iface && !Is(iface, kClassFactoryInterface))
      return ReplyError(m, kErrorUnknownInterface, std::string("Unknown interface ") + iface);
    if (!Is(member, "CreateInstance")) return ReplyError(m, kErrorUnknownMethod, std::string("Unknown method ") + member);
    return CreateInstance(*c, m);
  }
  if (std::strncmp(path, kObjectPathPrefix, sizeof(kObjectPathPrefix) - 1) == 0)
    return RouteObjectCall(*c, m, path, iface, member);
  if (FixedChild(path) || Is(path, kObjectDirPath))
    return ReplyError(m, kErrorUnknownMethod, std::string("Unknown method ") + member);
  return ReplyError(m, kErrorUnknownObject, std::string("Unknown object ") + path);
}

int ServerCore::RouteObjectCall(Client& c, sd_bus_message* m, const std::string& path, const char* iface,
                                  const char* member) {
  const HeldObject* obj = c.objects.Find(path);
  if (!obj) return ReplyError(m, kErrorUnknownObject, "Unknown object " + path);
  if (!iface || Is(iface, kDispatchInterface)) {
    if (IsDispatchMember(member)) return CallDispatch(c, m, *obj, member);
    if (!iface && obj->typed)
      if (const TypedMethod* tm = obj->typed->Find(member)) return CallTyped(c, m, *obj, *tm);
    return ReplyError(m, kErrorUnknownMethod, std::string("Unknown method ") + member);
  }
  if (obj->typed && obj->typed->Name() == iface) {
    if (const TypedMethod* tm = obj->typed->Find(member)) return CallTyped(c, m, *obj, *tm);
    return ReplyError(m, kErrorUnknownMethod, std::string("Unknown method ") + member + " of " + iface);
  }
  return ReplyError(m, kErrorUnknownInterface, std::string("Unknown interface ") + iface);
}

int ServerCore::Introspect(Client& c, sd_bus_message* m, const std::string& path) {
  if (!CheckSignature(m, "")) return 1;
  std::vector<const std::string*> ifaces;
  std::vector<std::string> children;
  if (const char* child = FixedChild(path)) {
    children.push_back(child);
  } else if (path == kRootPath) {
    ifaces.push_back(&ClassFactoryInterfaceXml());
    for (const std::string& xml : rootInterfaceXml) ifaces.push_back(&xml);
    if (c.objects.Size()) children.push_back("obj");
  } else if (path == kObjectDirPath) {
    children = c.objects.ChildNames(kMaxIntrospectedChildren);
  } else if (const HeldObject* obj = c.objects.Find(path)) {
    if (obj->dispatch) ifaces.push_back(&DispatchInterfaceXml());
    if (obj->typed) ifaces.push_back(&TypedXml(*obj->typed));
  } else {
    return ReplyError(m, kErrorUnknownObject, "Unknown object " + path);
  }
  ifaces.push_back(&StandardInterfacesXml());
  std::string xml = NodeXml(ifaces, children);
  if (path == kObjectDirPath && c.objects.Size() > children.size()) {
    const std::string note = " <!-- " + std::to_string(children.size()) + " of " + std::to_string(c.objects.Size()) +
                             " objects listed -->\n";
    size_t at = xml.find("<node>\n");
    if (at != std::string::npos) xml.insert(at + 7, note);
  }
  sd_bus_reply_method_return(m, "s", xml.c_str());
  NoteUnsent(&c, kMessageOverheadBytes + xml.size());
  return 1;
}

const std::string& ServerCore::TypedXml(const TypedInterface& t) {
  auto& xml = typedXml[&t];
  if (xml.empty()) xml = TypedInterfaceXml(t);
  return xml;
}

uint64_t ServerCore::Remember(Client& c, sd_bus_message* m) {
  uint64_t id = ++nextCall;
  pending.emplace(id, PendingCall{sd_bus_message_ref(m), c.id});
  ++c.inFlight;
  return id;
}

int ServerCore::CreateInstance(Client& c, sd_bus_message* m) {
  if (!CheckSignature(m, "s")) return 1;
  const char* name = nullptr;
  if (sd_bus_message_read_basic(m, 's', &name) <= 0) return ReplyError(m, kErrorInvalidArgs, "missing class name");
  if (c.objects.Size() >= c.objects.Limit())
    return ReplyError(m, kErrorLimitsExceeded,
                      "this connection holds " + std::to_string(c.objects.Size()) + " objects, the most allowed");
  com::CLSID clsid;
  com::HRESULT hr = com::ClassRegistry::Instance().CLSIDFromString(name, &clsid);
  if (com::FAILED(hr)) return ReplyHResult(m, hr);
  Apartment& apartment = pool.Next();
  auto comp = std::make_shared<Completion>();
  comp->kind = CallKind::Create;
  comp->clsid = clsid;
  comp->apartment = &apartment;
  comp->callId = Remember(c, m);
  ++pendingCreates;
  apartment.Post([q = queue, comp, caller = c.caller]() mutable {
    RunAsCaller(*caller, [&] {
      comp->hr = com::ContainedCall([&] {
        com::ComPtr<com::IUnknown> obj;
        const com::HRESULT hr = com::ClassRegistry::Instance().Create(comp->clsid, &obj);
        comp->result = com::Variant::Unknown(std::move(obj));
        return hr;
      });
    });
    q->Push(std::move(comp));
  });
  return 1;
}

// Run on an apartment: what such a method reads may be guarded by locks the bus thread must
// never wait for.
int ServerCore::CallRoot(Client& c, sd_bus_message* m, const RootMethod& method) {
  if (!CheckSignature(m, "")) return 1;
  auto comp = std::make_shared<Completion>();
  comp->kind = CallKind::Root;
  comp->callId = Remember(c, m);
  pool.Next().Post([q = queue, comp, run = method.run, caller = c.caller]() mutable {
    RunAsCaller(*caller, [&] {
      const com::HRESULT hr = com::ContainedCall([&] { comp->writer = run(); });
      if (com::FAILED(hr)) comp->hr = hr;
    });
    q->Push(std::move(comp));
  });
  return 1;
}

int ServerCore::CallDispatch(Client& c, sd_bus_message* m, const HeldObject& obj, const char* member) {
  if (Is(member, "Release")) {
    if (!CheckSignature(m, "")) return 1;
    return ReleaseObject(c, m, obj.path);
  }
  auto comp = std::make_shared<Completion>();
  if (Is(member, "GetIDsOfNames")) {
    if (!CheckSignature(m, "s")) return 1;
    const char* name = nullptr;
    if (sd_bus_message_read_basic(m, 's', &name) <= 0) return ReplyError(m, kErrorInvalidArgs, "missing name");
    comp->kind = CallKind::GetIDs;
    comp->name = name;
  } else {
    if (!CheckSignature(m, "iua(qv)")) return 1;
    int32_t dispid = 0;
    uint32_t flags = 0;
    if (sd_bus_message_read(m, "iu", &dispid, &flags) < 0) return ReplyError(m, kErrorInvalidArgs, "bad arguments");
    if (flags > 0xFFFF) return ReplyError(m, kErrorInvalidArgs, "flags out of range");
    sd_bus_error error = SD_BUS_ERROR_NULL;
    TablePaths paths(&c.objects, obj.apartment);
    int r = ReadVariantList(m, &comp->args, &paths, &error);
    if (r < 0) return ReplyCodecError(m, &error, r);
    comp->kind = CallKind::Invoke;
    comp->dispid = dispid;
    comp->flags = static_cast<uint16_t>(flags);
  }
  if (!obj.dispatch) return ReplyHResult(m, com::E_NOINTERFACE);
  PostCall(c, m, obj, std::move(comp));
  return 1;
}

int ServerCore::CallTyped(Client& c, sd_bus_message* m, const HeldObject& obj, const TypedMethod& method) {
  if (!CheckSignature(m, method.inSignature.c_str())) return 1;
  auto comp = std::make_shared<Completion>();
  sd_bus_error error = SD_BUS_ERROR_NULL;
  TablePaths paths(&c.objects, obj.apartment);
  int r = ReadTypedArgs(m, method, &paths, &comp->args, &error);
  if (r < 0) return ReplyCodecError(m, &error, r);
  comp->kind = CallKind::Typed;
  comp->typed = &method;
  comp->dispid = method.dispid;
  comp->flags = com::DISPATCH_METHOD;
  PostCall(c, m, obj, std::move(comp));
  return 1;
}

void ServerCore::PostCall(Client& c, sd_bus_message* m, const HeldObject& obj, CompletionPtr comp) {
  comp->apartment = obj.apartment;
  comp->callId = Remember(c, m);
  obj.apartment->Post([q = queue, comp = std::move(comp), disp = obj.dispatch, caller = c.caller]() mutable {
    RunAsCaller(*caller, [&] {
      comp->hr = com::ContainedCall([&] {
        return comp->kind == CallKind::GetIDs ? disp->GetIDsOfNames(comp->name, &comp->dispid)
                                              : disp->Invoke(comp->dispid, comp->flags, comp->args, &comp->result);
      });
    });
    q->Push(std::move(comp));
  });
  // Most commands take microseconds: wait for the answer here rather than through another
  // wake-up of the event loop. Bounded, so a slow command costs the bus thread almost nothing.
  if (queue->SpinUntilQueued(std::chrono::microseconds(kAnswerSpinMicros))) DrainCompletions();
}

int ServerCore::ReleaseObject(Client& c, sd_bus_message* m, const std::string& path) {
  HeldObject held;
  std::string key = path;  // `path` may live in the entry being removed
  if (!c.objects.Remove(key, &held)) return ReplyError(m, kErrorUnknownObject, "Unknown object " + key);
  PostRelease(std::move(held), Remember(c, m));
  return 1;
}

void ServerCore::PostRelease(HeldObject held, uint64_t callId) {
  auto comp = std::make_shared<Completion>();
  comp->kind = CallKind::Release;
  comp->callId = callId;
  ++pendingReleases;
  everHeld = true;
  Apartment* apartment = held.apartment;
  apartment->Post([q = queue, comp = std::move(comp), obj = std::move(held.object),
                   disp = std::move(held.dispatch)]() mutable {
    disp.Reset();
    obj.Reset();
    q->Push(std::move(comp));
  });
}

void ServerCore::Reply(Client* c, sd_bus_message* call, const CompletionPtr& comp) {
  if (com::FAILED(comp->hr)) {
    ReplyHResult(call, comp->hr);
    NoteUnsent(c, 0);
    return;
  }
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r < 0) return;  // the client is gone
  TablePaths paths(&c->objects, comp->apartment);
  switch (comp->kind) {
    case CallKind::Create: r = AppendObject(reply, comp->result.unknown(), &paths, &error); break;
    case CallKind::GetIDs: r = sd_bus_message_append_basic(reply, 'i', &comp->dispid); break;
    case CallKind::Invoke:
      r = AppendVariant(reply, comp->result, &paths, &error);
      if (r >= 0) r = AppendVariantList(reply, comp->args, &paths, &error);
      break;
    case CallKind::Typed: r = AppendTypedOuts(reply, *comp->typed, comp->args, comp->result, &paths, &error); break;
    case CallKind::Release: break;
    case CallKind::Root:
      if (comp->writer) r = comp->writer(reply);
      break;
  }
  if (r < 0) {
    sd_bus_message_unref(reply);
    // Objects already entered for this answer would be held with no path the client knows.
    for (const std::string& path : paths.added()) {
      HeldObject held;
      if (c->objects.Remove(path, &held)) PostRelease(std::move(held), 0);
    }
    if (paths.refused()) {
      sd_bus_error_free(&error);
      ReplyError(call, kErrorLimitsExceeded,
                 "this connection holds " + std::to_string(c->objects.Size()) + " objects, the most allowed");
    } else {
      ReplyCodecError(call, &error, r);
    }
    NoteUnsent(c, 0);
    return;
  }
  sd_bus_send(nullptr, reply, nullptr);  // fails only when the client has gone: nothing to do
  sd_bus_message_unref(reply);
  size_t bytes = kMessageOverheadBytes + WireBytes(comp->result);
  for (const com::Variant& v : comp->args) bytes += WireBytes(v);
  NoteUnsent(c, bytes);
}

}  // namespace kv::transport
