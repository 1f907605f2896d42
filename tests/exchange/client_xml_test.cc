// The checked load of client XML through every command that reads it: the nesting limit, texts
// that are not well-formed, and where a parse failure says it stopped.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <functional>
#include <regex>

#include "exchange/xml_text.h"
#include "exchange_fixture.h"
#include "com/object_stream.h"
#include "platform/utf8.h"
#include "execution/execution_commands.h"
#include "exchange/exchange_commands.h"

namespace kv::testing {
namespace {

using exchange::kMaxClientXmlDepth;

// What a command made of a text.
enum class Outcome { Loaded, ParseRefused, OtherwiseRefused };

const char* Name(Outcome o) {
  switch (o) {
    case Outcome::Loaded: return "loaded";
    case Outcome::ParseRefused: return "refused as XML";
    case Outcome::OtherwiseRefused: return "refused after the parse";
  }
  return "?";
}

class ClientXmlTest : public ExchangeFixture {
 protected:
  // `text` with `levels` nested elements put in before `before`.
  static std::string Nested(const std::string& text, const std::string& before, int levels) {
    EXPECT_GE(levels, 0);
    std::string nest;
    nest.reserve(static_cast<size_t>(levels) * 7);
    for (int i = 0; i < levels; ++i) nest += "<a>";
    for (int i = 0; i < levels; ++i) nest += "</a>";
    std::string out = text;
    const size_t at = out.find(before);
    EXPECT_NE(at, std::string::npos) << before;
    out.insert(at, nest);
    return out;
  }

  // A command that reads client XML, run on a text.
  struct Command {
    const char* name;
    std::string base;    // a text the command takes
    std::string before;  // where Nested puts its elements
    int depthThere;      // how deep that place is
    std::function<Outcome(const std::string&)> run;
  };

  Outcome FromLoad(long loaded) {
    if (loaded == 1) return Outcome::Loaded;
    return cmd->m_lastErrorText == "Error loading XML string." ? Outcome::ParseRefused : Outcome::OtherwiseRefused;
  }
  static Outcome FromReply(const Bstr& reply) {
    const std::string text = reply.ToUtf8();
    if (text.rfind("<ERROR Line=", 0) == 0) return Outcome::ParseRefused;
    return text.rfind("<ERROR", 0) == 0 ? Outcome::OtherwiseRefused : Outcome::Loaded;
  }

  // Every command that reads a client's XML, each with a text it loads.
  std::vector<Command> Commands() {
    StoreCalculation("Flow1", "x = 1");
    StoreLibrary("Steam");
    const std::string calc = exchange::SaveCalcXML(*cmd, B("Flow1")).ToUtf8();
    const std::string lib = exchange::SaveLibXML(*cmd, B("Steam")).ToUtf8();
    const std::string unit = exchange::SaveUnitTypeXML(*cmd, B("Temperature")).ToUtf8();
    const std::string objectXml = [&] {
      Bstr xml;
      auto persist = com::QueryInterface<components::IZrPersistXML>(store::GetCalculationObject(*cmd, B("Flow1")));
      EXPECT_TRUE(persist && com::SUCCEEDED(persist->SaveXML(&xml)));
      return xml.ToUtf8();
    }();
    auto renamed = [](std::string text, const std::string& from, const std::string& to) {
      return std::regex_replace(text, std::regex("<Name>" + from + "</Name>"), "<Name>" + to + "</Name>",
                                std::regex_constants::format_first_only);
    };
    // A parameter for ExecuteCalculationXML to read: nesting inside it reaches the parameter's own load.
    StoreWithParameters("Flow3", Constant("k", 2), "x = k");
    return {
        {"LoadCalcXML", renamed(calc, "Flow1", "Flow2"), "</Calculation>", 1,
         [&](const std::string& t) {
           return FromLoad(exchange::LoadCalcXML(*cmd, B(t), New(components::CLSID_ZrCalculation).Get()));
         }},
        {"LoadLibXML", renamed(lib, "Steam", "Water"), "</Library>", 1,
         [&](const std::string& t) {
           return FromLoad(exchange::LoadLibXML(*cmd, B(t), New(components::CLSID_ZrLibrary).Get()));
         }},
        {"LoadUnitXML", renamed(unit, "Temperature", "Heat"), "</EngUnitType>", 1,
         [&](const std::string& t) {
           Variant unitDisp;
           return FromLoad(exchange::LoadUnitXML(*cmd, B(t), &unitDisp));
         }},
        {"ExecuteXML", calc, "</Calculation>", 1,
         [&](const std::string& t) { return FromReply(execution::ExecuteXML(*cmd, B(t))); }},
        {"ExecuteCalculationXML",
         "<Calculation><Name>Flow3</Name><Parameters><Parameter><Name>k</Name><Value type=\"5\">3</Value>"
         "</Parameter></Parameters></Calculation>",
         "</Parameter>", 3, [&](const std::string& t) { return FromReply(execution::ExecuteCalculationXML(*cmd, B(t))); }},
        {"BSTRtoObject", objectXml, "</Calculation>", 1,
         [&](const std::string& t) {
           const com::CLSID clsid = components::CLSID_ZrCalculation;
           const Bstr objectString =
               com::BstrOfBytes(com::WriteObjectStream(&clsid, platform::Utf8ToUtf16(t)));
           return exchange::BSTRtoObject(*cmd, objectString) ? Outcome::Loaded : Outcome::ParseRefused;
         }},
    };
  }
};

// Nesting at the limit loads; one level past it and far past it are refused as XML, at once and
// without the cost growing with the square of the depth.
TEST_F(ClientXmlTest, EveryCommandLoadsTextsNestedToTheLimitAndRefusesDeeperOnes) {
  for (const Command& c : Commands()) {
    SCOPED_TRACE(c.name);
    struct Depth {
      int depth;
      Outcome want;
    } depths[] = {
        {kMaxClientXmlDepth, Outcome::Loaded},
        {kMaxClientXmlDepth + 1, Outcome::ParseRefused},
        {200000, Outcome::ParseRefused},
    };
    for (const Depth& d : depths) {
      SCOPED_TRACE(d.depth);
      const Outcome got = c.run(Nested(c.base, c.before, d.depth - c.depthThere));
      EXPECT_EQ(got, d.want) << Name(got) << " " << cmd->m_lastErrorText;
    }
  }
}

// The depth refusal says where it stopped: the start tag one level too deep.
TEST_F(ClientXmlTest, TheDepthRefusalNamesTheElementPastTheLimit) {
  std::string text;
  for (int i = 0; i < kMaxClientXmlDepth + 5; ++i) text += "<a>\n";
  const std::string reply = execution::ExecuteXML(*cmd, B(text)).ToUtf8();
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(reply.c_str())) << reply;
  EXPECT_EQ(doc.document_element().attribute("Line").as_int(), kMaxClientXmlDepth + 1) << reply;
  EXPECT_EQ(doc.document_element().attribute("Pos").as_int(), 1) << reply;
  EXPECT_NE(std::string(doc.document_element().text().get())
                .find("nested deeper than " + std::to_string(kMaxClientXmlDepth) + " levels"),
            std::string::npos)
      << reply;
}

// Texts an XML parser must refuse, each otherwise a calculation the store would take: the import
// and the run refuse them as XML, and nothing is stored.
TEST_F(ClientXmlTest, TextsThatAreNotWellFormedAreRefusedAndNothingIsStored) {
  const std::string head = "<Calculation version=\"1\"><Name>Bad</Name><CalcType>4</CalcType><Script>x = 1</Script>";
  const std::string good = head + "</Calculation>";
  const std::string root = "<Calculation version=\"1\">";
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"a second root element", good + "<Calculation version=\"1\"/>"},
      {"text after the root", good + "x"},
      {"a duplicate attribute", "<Calculation version=\"1\" version=\"1\">" + good.substr(root.size())},
      {"< in an attribute value", "<Calculation version=\"1\" note=\"a<b\">" + good.substr(root.size())},
      {"a declaration after white space", " \n<?xml version=\"1.0\"?>" + good},
      {"a raw U+0001", head + "<Description>a\x01" "b</Description></Calculation>"},
      {"a reference to U+0001", head + "<Description>a&#1;b</Description></Calculation>"},
      {"an undeclared entity", head + "<Description>a&b;</Description></Calculation>"},
  };
  // The same calculation, well-formed, is stored: the refusals below are the parse's.
  ASSERT_EQ(exchange::LoadCalcXML(*cmd, B(std::regex_replace(good, std::regex("Bad"), "Good")),
                                  New(components::CLSID_ZrCalculation).Get()),
            1)
      << cmd->m_lastErrorText;
  const std::vector<std::string> before = Entries("Calc");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(exchange::LoadCalcXML(*cmd, B(c.text), New(components::CLSID_ZrCalculation).Get()), 0);
    EXPECT_EQ(Code(), CMDERR_CATCH_ALL);
    EXPECT_EQ(cmd->m_lastErrorText, "Error loading XML string.");
    const std::string reply = execution::ExecuteXML(*cmd, B(c.text)).ToUtf8();
    EXPECT_EQ(reply.rfind("<ERROR Line=\"", 0), 0u) << reply;
  }
  EXPECT_EQ(Entries("Calc"), before);
}

// A parse failure's line counts LF, CR and CR LF alike as one line break, in the parser's
// failures and in the encoding check's.
TEST_F(ClientXmlTest, ParseFailureLinesCountEveryKindOfLineBreak) {
  std::u16string loneSurrogate;
  loneSurrogate.push_back(static_cast<char16_t>(0xDC00));
  struct Case {
    const char* what;
    std::u16string text;
    int pos;
  } cases[] = {
      // The mismatch is found at the end tag's name.
      {"LF", u"<Calculation>\n<Name>x\n  </Nam>\n</Calculation>", 5},
      {"CR", u"<Calculation>\r<Name>x\r  </Nam>\r</Calculation>", 5},
      {"CR LF", u"<Calculation>\r\n<Name>x\r\n  </Nam>\r\n</Calculation>", 5},
      {"lone surrogate after CR", u"<Calculation>\r<Name>x\r  " + loneSurrogate + u"</Name></Calculation>", 3},
      {"lone surrogate after CR LF", u"<Calculation>\r\n<Name>x\r\n  " + loneSurrogate + u"</Name></Calculation>", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string reply = execution::ExecuteXML(*cmd, Bstr(c.text)).ToUtf8();
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(reply.c_str())) << reply;
    EXPECT_EQ(doc.document_element().attribute("Line").as_int(), 3) << reply;
    EXPECT_EQ(doc.document_element().attribute("Pos").as_int(), c.pos) << reply;
  }
}

}  // namespace
}  // namespace kv::testing
