#pragma once
// Where an XML import into a client's object loads. An object held for every client (a main-store
// calculation, a library the environment holds) would show the text to every client, and to the
// schedule, as soon as it loaded, before the save asks for its right; such an object is never
// loaded in place.
#include "com/dispatch.h"
#include "command_object/calc_cmd_base.h"

namespace kv::exchange {

// The object the import loads into: `object` itself when no one else holds it; for a shared one,
// after its rights (store::MayChangeInPlace: false with the refusal code), a private copy, which
// the import stores in its place (the save drops the shared one, so every client then reads the
// stored text). A copy that cannot be made fails with CMDERR_CATCH_ALL and the step's text.
bool ImportTarget(CCalcCmdBase& cmd, IDispatch* object, ComPtr<IDispatch>* target);

}  // namespace kv::exchange
