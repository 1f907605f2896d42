#pragma once
// An object living in the server, seen through one connection: its path, and the method table
// of its typed interface when it has one (the command objects). Calls block until the reply
// arrives. The object stays in the server until Release (or until the connection closes);
// dropping the RemoteObject alone does not release it. Not thread-safe, like its Connection.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/connection.h"
#include "client/status.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "protocol/method_info.h"

namespace kv::client {

struct CallResult {
  com::Variant result;                // the retval (VT_EMPTY for a method without one)
  std::vector<com::Variant> outArgs;  // Call: the in/out parameters in order; Invoke: the byref list
};

class RemoteObject {
 public:
  // `table` may be null (no typed interface).
  RemoteObject(std::shared_ptr<Connection> connection, std::string path, const InterfaceTable* table);

  const std::string& path() const { return path_; }
  const InterfaceTable* table() const { return table_; }
  const std::shared_ptr<Connection>& connection() const { return connection_; }

  // Calls `method` (found in the table without regard to case) through the typed interface.
  // `inArgs` hold one value for each in and in/out parameter, in declaration order; each is
  // converted to its parameter's type (a Dispatch parameter takes an object from this
  // connection, or VT_EMPTY for none). On success `out` holds the retval as a Variant of the
  // retval's type and the in/out values. kUnknownMethod for a name not in the table (or no
  // table), kInvalidArgument for a wrong count or a value that does not convert.
  Status Call(std::string_view method, const std::vector<com::Variant>& inArgs, CallResult* out);

  // The generic interface: GetIDsOfNames and Invoke (args in declaration order; out->outArgs
  // receives the byref values the server sends back).
  Status GetIDsOfNames(std::string_view name, com::DISPID* id);
  Status Invoke(com::DISPID id, uint16_t flags, const std::vector<com::Variant>& args, CallResult* out);

  // Tells the server to drop the object.
  Status Release();

 private:
  std::shared_ptr<Connection> connection_;
  std::string path_;
  const InterfaceTable* table_;
};

// A remote object as a VT_DISPATCH Variant (null gives a null object), so it can be passed as
// an argument; the Variant's IDispatch forwards GetIDsOfNames and Invoke to the server (a
// failed call answers an HRESULT: the object's own HRESULT when the server sent one,
// DISP_E_EXCEPTION for another error reply, E_INVALIDARG, DISP_E_MEMBERNOTFOUND, or E_FAIL for
// a broken connection).
com::Variant ObjectVariant(std::shared_ptr<RemoteObject> obj);
// The remote object a Variant (or an object from such a Variant) holds, or null when it holds none.
std::shared_ptr<RemoteObject> RemoteObjectOf(const com::Variant& v);
std::shared_ptr<RemoteObject> RemoteObjectOf(com::IUnknown* obj);

}  // namespace kv::client
