#include "client/remote_object.h"

#include <cerrno>
#include <cstring>

#include "client/variant_codec.h"

namespace kv::client {

using com::Variant;

namespace {

// Frees the two messages of a call on every path out.
struct CallMessages {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  ~CallMessages() {
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
  }
};

Status BadReply(std::string_view member, int r) {
  return Status(Status::Code::kProtocol,
                std::string("unexpected reply to ") + std::string(member) + ": " + std::strerror(r < 0 ? -r : r));
}

// Nothing may follow the values the reply promised.
bool AtEnd(sd_bus_message* m) { return sd_bus_message_peek_type(m, nullptr, nullptr) == 0; }

class RemoteDispatch : public com::ComObject<com::IDispatch> {
 public:
  explicit RemoteDispatch(std::shared_ptr<RemoteObject> obj) : obj_(std::move(obj)) {}
  const std::shared_ptr<RemoteObject>& object() const { return obj_; }

  com::HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    return ToHResult(obj_->GetIDsOfNames(name, id));
  }
  com::HRESULT Invoke(com::DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result) override {
    CallResult r;
    Status st = obj_->Invoke(id, flags, args, &r);
    if (!st.ok()) return ToHResult(st);
    if (r.outArgs.size() == args.size())
      for (size_t i = 0; i < args.size(); ++i) args[i] = std::move(r.outArgs[i]);
    if (result) *result = std::move(r.result);
    return com::S_OK;
  }

 private:
  static com::HRESULT ToHResult(const Status& st) {
    switch (st.code()) {
      case Status::Code::kOk: return com::S_OK;
      case Status::Code::kInvalidArgument: return com::E_INVALIDARG;
      case Status::Code::kUnknownMethod: return com::DISP_E_MEMBERNOTFOUND;
      case Status::Code::kRemote: return com::DISP_E_EXCEPTION;
      default: return com::E_FAIL;
    }
  }

  std::shared_ptr<RemoteObject> obj_;
};

}  // namespace

RemoteObject::RemoteObject(std::shared_ptr<Connection> connection, std::string path, const InterfaceTable* table)
    : connection_(std::move(connection)), path_(std::move(path)), table_(table) {}

Status RemoteObject::Call(std::string_view method, const std::vector<Variant>& inArgs, CallResult* out) {
  const MethodSpec* spec = table_ ? table_->ByDispId(table_->DispIdByName(method)) : nullptr;
  if (!spec) return Status(Status::Code::kUnknownMethod, "no method " + std::string(method) + " on " + path_);
  size_t wanted = 0;
  for (const ParamSpec& p : spec->params) wanted += p.dir != ParamDir::Retval;
  if (inArgs.size() != wanted)
    return Status(Status::Code::kInvalidArgument, spec->name + " takes " + std::to_string(wanted) + " argument(s), not " +
                                                      std::to_string(inArgs.size()));
  std::string interface = kInterfacePrefix + table_->name;
  CallMessages msg;
  Status st = connection_->NewCall(path_, interface.c_str(), spec->name.c_str(), &msg.call);
  if (!st.ok()) return st;
  ObjectPaths& paths = connection_->Paths();
  size_t k = 0;
  for (const ParamSpec& p : spec->params) {
    if (p.dir == ParamDir::Retval) continue;
    if (AppendTyped(msg.call, p.type, inArgs[k], paths) < 0)
      return Status(Status::Code::kInvalidArgument,
                    "argument " + std::to_string(k + 1) + " (" + p.name + ") does not fit its type");
    ++k;
  }
  if (!(st = connection_->Send(msg.call, &msg.reply)).ok()) return st;
  CallResult res;
  for (const ParamSpec& p : spec->params) {
    if (p.dir == ParamDir::In) continue;
    Variant v;
    if (int r = ReadTyped(msg.reply, p.type, &v, paths); r < 0) return BadReply(spec->name, r);
    if (p.dir == ParamDir::Retval)
      res.result = std::move(v);
    else
      res.outArgs.push_back(std::move(v));
  }
  if (!AtEnd(msg.reply)) return BadReply(spec->name, -EBADMSG);
  *out = std::move(res);
  return Status();
}

Status RemoteObject::GetIDsOfNames(std::string_view name, com::DISPID* id) {
  CallMessages msg;
  Status st = connection_->NewCall(path_, kDispatchInterface, "GetIDsOfNames", &msg.call);
  if (!st.ok()) return st;
  std::string n(name);
  if (sd_bus_message_append_basic(msg.call, 's', n.c_str()) < 0)
    return Status(Status::Code::kInvalidArgument, "name is not valid UTF-8");
  if (!(st = connection_->Send(msg.call, &msg.reply)).ok()) return st;
  int32_t v;
  int r = sd_bus_message_read_basic(msg.reply, 'i', &v);
  if (r <= 0 || !AtEnd(msg.reply)) return BadReply("GetIDsOfNames", r < 0 ? r : -EBADMSG);
  *id = v;
  return Status();
}

Status RemoteObject::Invoke(com::DISPID id, uint16_t flags, const std::vector<Variant>& args, CallResult* out) {
  CallMessages msg;
  Status st = connection_->NewCall(path_, kDispatchInterface, "Invoke", &msg.call);
  if (!st.ok()) return st;
  ObjectPaths& paths = connection_->Paths();
  int32_t dispid = id;
  uint32_t f = flags;
  int r = sd_bus_message_append(msg.call, "iu", dispid, f);
  if (r >= 0) r = sd_bus_message_open_container(msg.call, 'a', "(qv)");
  for (size_t i = 0; r >= 0 && i < args.size(); ++i) {
    if (AppendVariant(msg.call, args[i], paths) < 0)
      return Status(Status::Code::kInvalidArgument, "argument " + std::to_string(i + 1) + " cannot travel");
  }
  if (r >= 0) r = sd_bus_message_close_container(msg.call);
  if (r < 0) return Status(Status::Code::kInvalidArgument, std::string("cannot build Invoke: ") + std::strerror(-r));
  if (!(st = connection_->Send(msg.call, &msg.reply)).ok()) return st;
  // The two out-arguments may also come wrapped in one struct.
  const char* sig = sd_bus_message_get_signature(msg.reply, 1);
  bool wrapped = sig && std::strcmp(sig, "((qv)a(qv))") == 0;
  CallResult res;
  if (wrapped && (r = sd_bus_message_enter_container(msg.reply, 'r', "(qv)a(qv)")) <= 0)
    return BadReply("Invoke", r < 0 ? r : -EBADMSG);
  if ((r = ReadVariant(msg.reply, &res.result, paths)) < 0) return BadReply("Invoke", r);
  if ((r = sd_bus_message_enter_container(msg.reply, 'a', "(qv)")) <= 0) return BadReply("Invoke", r < 0 ? r : -EBADMSG);
  while ((r = sd_bus_message_at_end(msg.reply, 0)) == 0) {
    res.outArgs.emplace_back();
    if ((r = ReadVariant(msg.reply, &res.outArgs.back(), paths)) < 0) return BadReply("Invoke", r);
  }
  if (r < 0 || (r = sd_bus_message_exit_container(msg.reply)) < 0) return BadReply("Invoke", r < 0 ? r : -EBADMSG);
  if (wrapped && (r = sd_bus_message_exit_container(msg.reply)) < 0) return BadReply("Invoke", r);
  if (!AtEnd(msg.reply)) return BadReply("Invoke", -EBADMSG);
  *out = std::move(res);
  return Status();
}

Status RemoteObject::Release() {
  CallMessages msg;
  Status st = connection_->NewCall(path_, kDispatchInterface, "Release", &msg.call);
  if (!st.ok()) return st;
  return connection_->Send(msg.call, &msg.reply);
}

Variant ObjectVariant(std::shared_ptr<RemoteObject> obj) {
  if (!obj) return Variant::Dispatch(nullptr);
  return Variant::Dispatch(com::MakeCom<RemoteDispatch>(std::move(obj)));
}

std::shared_ptr<RemoteObject> RemoteObjectOf(com::IUnknown* obj) {
  auto* d = dynamic_cast<RemoteDispatch*>(obj);
  return d ? d->object() : nullptr;
}

std::shared_ptr<RemoteObject> RemoteObjectOf(const Variant& v) {
  const Variant& x = v.Deref();
  if (x.vt() != com::VT_DISPATCH && x.vt() != com::VT_UNKNOWN) return nullptr;
  return RemoteObjectOf(x.unknown().Get());
}

}  // namespace kv::client
