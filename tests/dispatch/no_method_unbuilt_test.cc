// Every method of both interfaces answers as its command says: none is left answering E_NOTIMPL.

#include "dispatch/calc_commands.h"
#include "dispatch/method_tables.h"
#include "store/lifecycle_fixture.h"

namespace kv::testing {
namespace {

using NoMethodUnbuiltTest = LifecycleFixture;

Variant EmptyArgument(ParamType t) {
  switch (t) {
    case ParamType::Bstr: return Variant::Str("");
    case ParamType::Long: return Variant::I4(0);
    case ParamType::Double: return Variant::R8(0);
    case ParamType::Date: return Variant::Date(0);
    case ParamType::Bool: return Variant::Bool(false);
    case ParamType::Dispatch:
    case ParamType::Variant: return Variant();
  }
  return Variant();
}

TEST_F(NoMethodUnbuiltTest, NoMethodAnswersNotImplemented) {
  ComPtr<ZrCalcCommandsBase> objects[] = {com::MakeCom<ZrCalcCommands>(), com::MakeCom<ZrCalcAppCommands>()};
  for (const ComPtr<ZrCalcCommandsBase>& obj : objects) {
    const InterfaceTable& table = obj->Table();
    for (size_t i = 0; i < table.methods.size(); ++i) {
      const MethodInfo& m = table.methods[i];
      std::vector<Variant> args;
      for (const ParamInfo& p : m.params)
        if (p.dir != ParamDir::Retval) args.push_back(EmptyArgument(p.type));
      Variant result;
      const HRESULT hr = obj->Invoke(table.DispIdOf(i), com::DISPATCH_METHOD, args, &result);
      EXPECT_NE(hr, com::E_NOTIMPL) << table.name << "::" << m.name;
    }
  }
}

}  // namespace
}  // namespace kv::testing
