#include <gtest/gtest.h>

#include "com/class_registry.h"
#include "com/dispatch.h"

namespace kv::com {
namespace {

class IWidget : public virtual IUnknown {
 public:
  virtual int Size() = 0;
};
class IOther : public virtual IUnknown {};

class Widget : public ComObject<IWidget, IDispatch> {
 public:
  int Size() override { return 3; }
  HRESULT GetIDsOfNames(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::vector<Variant>&, Variant*) override { return DISP_E_MEMBERNOTFOUND; }
};

const CLSID kWidget = GUID::FromString("{11111111-2222-3333-4444-555555555555}");

TEST(ClassRegistry, CreatesByClassOrProgIdAndRefusesUnknownClasses) {
  RegisterClass<Widget>(kWidget, {"Test.Widget", "Test.Widget.1"});
  ComPtr<IWidget> w;
  ASSERT_EQ(CreateInstance(kWidget, &w), S_OK);
  EXPECT_EQ(w->Size(), 3);
  EXPECT_TRUE(QueryInterface<IDispatch>(w));  // same object answers its other interfaces
  ComPtr<IOther> other;
  EXPECT_EQ(CreateInstance(kWidget, &other), E_NOINTERFACE);

  CLSID c;
  EXPECT_EQ(ClassRegistry::Instance().CLSIDFromString("test.widget.1", &c), S_OK);
  EXPECT_EQ(c, kWidget);
  EXPECT_EQ(ClassRegistry::Instance().CLSIDFromString("{11111111-2222-3333-4444-555555555555}", &c), S_OK);
  EXPECT_EQ(ClassRegistry::Instance().CLSIDFromString("No.Such", &c), CO_E_CLASSSTRING);

  ClassRegistry::Instance().Unregister(kWidget);
  EXPECT_EQ(CreateInstance(kWidget, &w), REGDB_E_CLASSNOTREG);
}

}  // namespace
}  // namespace kv::com
