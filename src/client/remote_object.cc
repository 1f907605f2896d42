#include "client/remote_object.h"

#include <cerrno>
#include <cstring>

#include "protocol/typed_interface.h"
#include "protocol/variant_codec.h"
#include "protocol/wire_names.h"

namespace kv::client {

using com::Variant;
using protocol::kDispatchInterface;

namespace {

// Frees the two messages of a call on every path out.
struct CallMessages {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~CallMessages() {
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
  }
  std::string Why(int r) const {
    if (sd_bus_error_is_set(&error) && error.message) return error.message;
    return std::strerror(r < 0 ? -r : r);
  }
};

Status BadReply(std::string_view member, const CallMessages& msg, int r) {
  return Status(Status::Code::kProtocol, "unexpected reply to " + std::string(member) + ": " + msg.Why(r));
}

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
      case Status::Code::kRemote: return st.hresult() ? st.hresult() : com::DISP_E_EXCEPTION;
      default: return com::E_FAIL;
    }
  }

  std::shared_ptr<RemoteObject> obj_;
};

}  // namespace

RemoteObject::RemoteObject(std::shared_ptr<Connection> connection, std::string path, const InterfaceTable* table)
    : connection_(std::move(connection)), path_(std::move(path)), table_(table) {}

Status RemoteObject::Call(std::string_view method, const std::vector<Variant>& inArgs, CallResult* out) {
  const MethodInfo* info = table_ ? table_->ByDispId(table_->DispIdByName(method)) : nullptr;
  if (!info) return Status(Status::Code::kUnknownMethod, "no method " + std::string(method) + " on " + path_);
  size_t wanted = 0;
  for (const ParamInfo& p : info->params) wanted += p.dir != ParamDir::Retval;
  if (inArgs.size() != wanted)
    return Status(Status::Code::kInvalidArgument, info->name + " takes " + std::to_string(wanted) + " argument(s), not " +
                                                      std::to_string(inArgs.size()));
  const protocol::TypedInterface& typed = protocol::TypedInterface::For(*table_);
  const protocol::TypedMethod* tm = typed.Find(info->name);
  CallMessages msg;
  Status st = connection_->NewCall(path_, typed.Name().c_str(), info->name.c_str(), &msg.call);
  if (!st.ok()) return st;
  protocol::ObjectPaths* paths = &connection_->Paths();
  size_t k = 0;
  for (const ParamInfo& p : info->params) {
    if (p.dir == ParamDir::Retval) continue;
    if (int r = protocol::AppendTypedValue(msg.call, p.type, inArgs[k], paths, protocol::kErrorInvalidArgs, &msg.error); r < 0)
      return Status(Status::Code::kInvalidArgument, "argument " + std::to_string(k + 1) + " (" + p.name + "): " + msg.Why(r));
    ++k;
  }
  if (!(st = connection_->Send(msg.call, &msg.reply)).ok()) return st;
  if (sd_bus_message_has_signature(msg.reply, tm->outSignature.c_str()) <= 0)
    return Status(Status::Code::kProtocol, "reply to " + info->name + " has signature \"" +
                                               std::string(sd_bus_message_get_signature(msg.reply, 1)) + "\", not \"" +
                                               tm->outSignature + "\"");
  CallResult res;
  for (const ParamInfo& p : info->params) {
    if (p.dir == ParamDir::In) continue;
    Variant v;
    if (int r = protocol::ReadTypedValue(msg.reply, p.type, paths, &v, &msg.error); r < 0) return BadReply(info->name, msg, r);
    if (p.dir == ParamDir::Retval)
      res.result = std::move(v);
    else
      res.outArgs.push_back(std::move(v));
  }
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
  if (sd_bus_message_has_signature(msg.reply, "i") <= 0 || sd_bus_message_read_basic(msg.reply, 'i', &v) <= 0)
    return BadReply("GetIDsOfNames", msg, -EBADMSG);
  *id = v;
  return Status();
}

Status RemoteObject::Invoke(com::DISPID id, uint16_t flags, const std::vector<Variant>& args, CallResult* out) {
  CallMessages msg;
  Status st = connection_->NewCall(path_, kDispatchInterface, "Invoke", &msg.call);
  if (!st.ok()) return st;
  protocol::ObjectPaths* paths = &connection_->Paths();
  int32_t dispid = id;
  uint32_t f = flags;
  int r = sd_bus_message_append(msg.call, "iu", dispid, f);
  if (r >= 0) r = protocol::AppendVariantList(msg.call, args, paths, &msg.error);
  if (r < 0) return Status(Status::Code::kInvalidArgument, "arguments cannot travel: " + msg.Why(r));
  if (!(st = connection_->Send(msg.call, &msg.reply)).ok()) return st;
  CallResult res;
  if (sd_bus_message_has_signature(msg.reply, "(qv)a(qv)") <= 0) return BadReply("Invoke", msg, -EBADMSG);
  if ((r = protocol::ReadVariant(msg.reply, &res.result, paths, &msg.error)) < 0 ||
      (r = protocol::ReadVariantList(msg.reply, &res.outArgs, paths, &msg.error)) < 0)
    return BadReply("Invoke", msg, r);
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
