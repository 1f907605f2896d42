#include "protocol/typed_interface.h"
#include "dispatch/method_tables.h"

#include <gtest/gtest.h>

#include "transport/fake_commands.h"
#include "protocol/interface_xml.h"
#include "protocol/message_pad.h"
#include "protocol/wire_names.h"

namespace kv::transport {
using namespace protocol;
namespace {

using com::Variant;

TEST(TypedInterface, SignaturesFollowTheTables) {
  struct Case {
    const InterfaceTable& table;
    const char* method;
    com::DISPID dispid;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {ICalcCommandsTable(), "CalcExecute", 1, "o", "b"},
      {ICalcCommandsTable(), "CalcCommandVersion", 3, "", "s"},
      {ICalcCommandsTable(), "GetLastCommandError", 4, "i", "is"},
      {ICalcCommandsTable(), "GetEditOwner", 6, "osss", "sssb"},
      {ICalcCommandsTable(), "GetCalculationList", 9, "", "(qv)"},
      {ICalcAppCommandsTable(), "SetBaseDirectory", ICalcAppCommandsTable().DispIdByName("SetBaseDirectory"), "s", "b"},
      {testing::FakeCommandsTable(), "Scale", 8, "ddb", "d"},
      {testing::FakeCommandsTable(), "Roundtrip", 6, "(qv)(qv)", "(qv)(qv)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const TypedInterface& t = TypedInterface::For(c.table);
    EXPECT_EQ(t.Name(), std::string(kTypedInterfacePrefix) + c.table.name);
    const TypedMethod* m = t.Find(c.method);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->dispid, c.dispid);
    EXPECT_EQ(m->inSignature, c.in);
    EXPECT_EQ(m->outSignature, c.out);
  }
  EXPECT_EQ(TypedInterface::For(ICalcCommandsTable()).Methods().size(), ICalcCommandsTable().methods.size());
  EXPECT_EQ(&TypedInterface::For(ICalcCommandsTable()), &TypedInterface::For(ICalcCommandsTable()));
  EXPECT_EQ(TypedInterface::For(ICalcCommandsTable()).Find("calcexecute"), nullptr) << "D-Bus names are exact";
}

TEST(TypedInterface, ArgumentsBecomeTheInvokeListAndOutsComeFromIt) {
  const TypedInterface& t = TypedInterface::For(testing::FakeCommandsTable());
  testing::MessagePad pad;

  sd_bus_message_append(pad.Fresh(), "ddb", 2.5, 45000.5, 1);
  std::vector<Variant> args;
  ASSERT_GE(ReadTypedArgs(pad.Sealed(), *t.Find("Scale"), nullptr, &args, nullptr), 0);
  EXPECT_EQ(args, (std::vector<Variant>{Variant::R8(2.5), Variant::Date(45000.5), Variant::Bool(true)}));

  sd_bus_message_append(pad.Fresh(), "o", "/");
  ASSERT_GE(ReadTypedArgs(pad.Sealed(), *t.Find("NameOf"), nullptr, &args, nullptr), 0);
  EXPECT_EQ(args, std::vector<Variant>{Variant::Dispatch(nullptr)});

  // Outs: the in/out parameters in order, then the retval, each converted to its type.
  const TypedMethod& addTo = *t.Find("AddTo");
  ASSERT_GE(AppendTypedOuts(pad.Fresh(), addTo, {Variant::Str("12"), Variant::I4(1)}, Variant::I4(5), nullptr, nullptr), 0);
  int32_t value = 0;
  int ok = 0;
  ASSERT_GE(sd_bus_message_read(pad.Sealed(), "ib", &value, &ok), 0);
  EXPECT_EQ(value, 12);
  EXPECT_TRUE(ok);

  ASSERT_GE(AppendTypedOuts(pad.Fresh(), *t.Find("Echo"), {Variant::Str("x")}, Variant(), nullptr, nullptr), 0);
  const char* s = nullptr;
  ASSERT_GE(sd_bus_message_read(pad.Sealed(), "s", &s), 0);
  EXPECT_STREQ(s, "") << "an empty result is the empty string";

  sd_bus_error error = SD_BUS_ERROR_NULL;
  EXPECT_LT(AppendTypedOuts(pad.Fresh(), addTo, {Variant::Str("twelve"), Variant::I4(1)}, Variant::I4(5), nullptr, &error), 0);
  EXPECT_STREQ(error.name, kErrorFailed);
  sd_bus_error_free(&error);
}

TEST(Introspection, EscapesNamesAndListsChildren) {
  EXPECT_EQ(XmlEscape("a<b>&\"c\""), "a&lt;b&gt;&amp;&quot;c&quot;");
  std::string xml = NodeXml({&ClassFactoryInterfaceXml()}, {"obj"});
  EXPECT_EQ(xml.rfind("<!DOCTYPE node", 0), 0u);
  EXPECT_NE(xml.find("<interface name=\"com.quorlith.Kelvarin.ClassFactory\">"), std::string::npos);
  EXPECT_NE(xml.find(" <node name=\"obj\"/>\n</node>\n"), std::string::npos);

  std::string typed = TypedInterfaceXml(TypedInterface::For(ICalcCommandsTable()));
  size_t methods = 0;
  for (size_t at = typed.find("<method "); at != std::string::npos; at = typed.find("<method ", at + 1)) ++methods;
  EXPECT_EQ(methods, ICalcCommandsTable().methods.size());
  EXPECT_NE(typed.find("<method name=\"GetLastCommandError\">\n"
                       "   <arg type=\"i\" name=\"ErrorCode\" direction=\"in\"/>\n"
                       "   <arg type=\"i\" name=\"ErrorCode\" direction=\"out\"/>\n"
                       "   <arg type=\"s\" name=\"bResult\" direction=\"out\"/>\n"
                       "  </method>"),
            std::string::npos);
}

}  // namespace
}  // namespace kv::transport
