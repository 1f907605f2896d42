#pragma once
// The client's side of a typed call (transport/typed_interface.h fixes the wire form): one
// parameter at a time, in-arguments appended and out-arguments read, with variants and
// objects going through transport/variant_codec.h.
#include <systemd/sd-bus.h>

#include "com/variant.h"
#include "commands/method_table.h"
#include "transport/variant_codec.h"

namespace kv::client {

// Appends `v` as a parameter of `type`: converted with ChangeType first (VT_EMPTY and VT_NULL
// stand for no object); a variant parameter goes as it is. >= 0, or a negative errno with
// `error` set (org.freedesktop.DBus.Error.InvalidArgs for a value that does not convert).
int AppendParam(sd_bus_message* m, ParamType type, const com::Variant& v, transport::ObjectPaths* paths,
                sd_bus_error* error);

// Reads a parameter of `type` as a Variant of its VARTYPE (VT_DISPATCH for objects).
int ReadParam(sd_bus_message* m, ParamType type, com::Variant* out, transport::ObjectPaths* paths, sd_bus_error* error);

}  // namespace kv::client
