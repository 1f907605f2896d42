#include "exchange/group_hook.h"

namespace kv::exchange {

bool MakeGroupDueNow(CCalcCmdBase& cmd, const com::Bstr& name) { return false; }

}  // namespace kv::exchange
