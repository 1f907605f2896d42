// XML export and import through the command object, on the real components and a temporary store.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <expat.h>

#include <regex>

#include "exchange/xml_text.h"
#include "exchange_fixture.h"
#include "platform/utf8.h"
#include "exchange/exchange_commands.h"

namespace kv::testing {
namespace {

class XmlExchangeTest : public ExchangeFixture {
 protected:
  // The text without the save time, which every store sets anew.
  static std::string WithoutSaveTime(const std::string& xml) {
    return std::regex_replace(xml, std::regex("<SaveTime>[^<]*</SaveTime>"), "");
  }
  static std::string Renamed(std::string xml, const std::string& from, const std::string& to) {
    const std::string a = "<Name>" + from + "</Name>";
    const size_t at = xml.find(a);
    EXPECT_NE(at, std::string::npos) << xml;
    if (at != std::string::npos) xml.replace(at, a.size(), "<Name>" + to + "</Name>");
    return xml;
  }
};

// The export cuts a form already under its root out of the text without a parse, in UTF-8 and
// in UTF-16 alike; anything else is left to the full re-rooting.
TEST(TextIfRooted, CutsTheElementOutOrRefuses) {
  struct Case {
    const char* text;
    const char* want;  // null: refused
  };
  const Case cases[] = {
      {"<?xml version=\"1.0\"?>\n<Calculation version=\"1\">\xC3\xA9</Calculation>\n",
       "<Calculation version=\"1\">\xC3\xA9</Calculation>"},
      {"  <Calculation/>\r\n\n", "<Calculation/>"},
      {"<Calculation>x</Calculation>", "<Calculation>x</Calculation>"},
      {"<CalculationX>x</CalculationX>", nullptr},
      {"<Library>x</Library>", nullptr},
      {"<?xml version=\"1.0\"<Calculation/>", nullptr},
      {"<Calculation", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string narrow;
    std::u16string wide;
    EXPECT_EQ(exchange::TextIfRooted(std::string_view(c.text), "Calculation", &narrow), c.want != nullptr);
    EXPECT_EQ(exchange::TextIfRooted(platform::Utf8ToUtf16(c.text), "Calculation", &wide), c.want != nullptr);
    if (c.want) {
      EXPECT_EQ(narrow, c.want);
      EXPECT_EQ(platform::Utf16ToUtf8(wide), c.want);
    }
  }
}

TEST_F(XmlExchangeTest, CalculationRoundTripStoresAnEqualObjectUnderItsOwnName) {
  StoreCalculation("Flow1", "Total = Flow * 2\n  -- indented \xC3\xA9\n");
  const std::string text = exchange::SaveCalcXML(*cmd, B("Flow1")).ToUtf8();
  ASSERT_EQ(Code(), 0) << cmd->m_lastErrorText;
  EXPECT_EQ(text.rfind("<Calculation", 0), 0u) << text;  // the element alone, no declaration
  EXPECT_EQ(text.back(), '>');

  EXPECT_EQ(exchange::LoadCalcXML(*cmd, B(Renamed(text, "Flow1", "Flow2")), New(components::CLSID_ZrCalculation).Get()), 1)
      << cmd->m_lastErrorText;
  EXPECT_TRUE(Exists("Calc/Flow2.zrc"));
  EXPECT_EQ(WithoutSaveTime(exchange::SaveCalcXML(*cmd, B("Flow2")).ToUtf8()), WithoutSaveTime(Renamed(text, "Flow1", "Flow2")));
  EXPECT_EQ(StoredScript("Flow2"), "Total = Flow * 2\n  -- indented \xC3\xA9\n");
}

// A script may hold any character a client can send (every control but NUL, which no D-Bus string
// carries; U+FFFE and U+FFFF): its export is XML a conforming parser reads, and the import gives
// the same script back.
TEST_F(XmlExchangeTest, ScriptsWithEveryControlCharacterRoundTrip) {
  std::string chars;
  for (int c = 1; c < 0x20; ++c) chars += static_cast<char>(c);
  chars += "\x7F\xEF\xBF\xBE\xEF\xBF\xBF \\ \\u0001 \\\\";  // and backslashes that look like escapes
  const std::string script = "x = 1 --[[" + chars + "]]";
  StoreCalculation("Ctl1", script);
  const std::string text = exchange::SaveCalcXML(*cmd, B("Ctl1")).ToUtf8();

  XML_Parser parser = XML_ParserCreate("UTF-8");
  const bool conforming = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  EXPECT_TRUE(conforming) << XML_ErrorString(XML_GetErrorCode(parser)) << " at " << XML_GetCurrentLineNumber(parser)
                          << ":" << XML_GetCurrentColumnNumber(parser) << "\n" << text;
  XML_ParserFree(parser);

  ASSERT_EQ(exchange::LoadCalcXML(*cmd, B(Renamed(text, "Ctl1", "Ctl2")), New(components::CLSID_ZrCalculation).Get()), 1)
      << cmd->m_lastErrorText;
  EXPECT_EQ(StoredScript("Ctl2"), script);
  // ExecuteXML's import reads the same script.
  ComPtr<IDispatch> calc = New(components::CLSID_ZrCalculation);
  EXPECT_TRUE(exchange::LoadXmlIntoCalc(*cmd, B(text), calc.Get()).IsNull());
  EXPECT_EQ(Text(calc.Get(), "Script"), script);
}

TEST_F(XmlExchangeTest, LibraryRoundTrip) {
  StoreLibrary("Steam");
  const std::string text = exchange::SaveLibXML(*cmd, B("Steam")).ToUtf8();
  EXPECT_EQ(text.rfind("<Library", 0), 0u) << text;
  EXPECT_EQ(exchange::LoadLibXML(*cmd, B(Renamed(text, "Steam", "Water")), New(components::CLSID_ZrLibrary).Get()), 1)
      << cmd->m_lastErrorText;
  EXPECT_TRUE(Exists("Lib/Water.zrc"));
  EXPECT_EQ(WithoutSaveTime(exchange::SaveLibXML(*cmd, B("Water")).ToUtf8()), WithoutSaveTime(Renamed(text, "Steam", "Water")));
}

TEST_F(XmlExchangeTest, MeasurementTypeRoundTripAddsItToTheTableAndSavesIt) {
  const std::string text = exchange::SaveUnitTypeXML(*cmd, B("Temperature")).ToUtf8();
  EXPECT_EQ(text.rfind("<EngUnitType", 0), 0u) << text;
  const std::string renamed = Renamed(text, "Temperature", "Heat");
  Variant unit;
  EXPECT_EQ(exchange::LoadUnitXML(*cmd, B(renamed), &unit), 1) << cmd->m_lastErrorText;
  ASSERT_EQ(unit.vt(), com::VT_DISPATCH);
  EXPECT_TRUE(com::QueryInterface<components::IZrUnitType>(unit.unknown()));
  EXPECT_EQ(exchange::SaveUnitTypeXML(*cmd, B("Heat")).ToUtf8(), renamed);
  EXPECT_TRUE(Exists("bin/Conversions.zrc"));
  // A second load of the same name is not added.
  EXPECT_EQ(exchange::LoadUnitXML(*cmd, B(renamed), &unit), 0);
  EXPECT_EQ(Code(), CMDERR_MEASUREMENT_TYPE_EXISTS);
}

// A measurement type's text goes through AddUnit's checks: factors it refuses are refused here
// too, and the table and its file stay as they were.
TEST_F(XmlExchangeTest, MeasurementTypesWithUnusableFactorsAreRefused) {
  const std::string text = Renamed(exchange::SaveUnitTypeXML(*cmd, B("Temperature")).ToUtf8(), "Temperature", "Heat");
  struct Case {
    const char* field;
    const char* value;
  } cases[] = {
      {"Multiplier", "0"},   {"Multiplier", "nan"},    {"Multiplier", "inf"}, {"Multiplier", "-inf"},
      {"Multiplier", "5e-324"}, {"Offset", "nan"}, {"Offset", "-inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " " + c.value);
    const std::regex field("<" + std::string(c.field) + ">[^<]*</" + c.field + ">");
    ASSERT_TRUE(std::regex_search(text, field)) << text;
    const std::string bad = std::regex_replace(text, field, "<" + std::string(c.field) + ">" + c.value + "</" + c.field + ">",
                                               std::regex_constants::format_first_only);
    Variant unit;
    EXPECT_EQ(exchange::LoadUnitXML(*cmd, B(bad), &unit), 0);
    EXPECT_EQ(Code(), CMDERR_CATCH_ALL);
    EXPECT_EQ(cmd->m_lastErrorText, "Error executing LoadXML method.");
    EXPECT_EQ(exchange::SaveUnitTypeXML(*cmd, B("Heat")).Length(), 0u);
  }
  EXPECT_FALSE(Exists("bin/Conversions.zrc"));
  Variant unit;
  EXPECT_EQ(exchange::LoadUnitXML(*cmd, B(text), &unit), 1) << cmd->m_lastErrorText;
}

TEST_F(XmlExchangeTest, ExportsOfMissingObjectsAreEmptyWithTheirText) {
  struct Case {
    Bstr (*command)(CCalcCmdBase&, const Bstr&);
    const char* text;
  } cases[] = {
      {&exchange::SaveCalcXML, "Failed to get calculation object."},
      {&exchange::SaveLibXML, "Failed to get library object."},
      {&exchange::SaveUnitTypeXML, "Failed to get unit type object."},
  };
  for (const Case& c : cases) {
    const Bstr result = c.command(*cmd, B("NoSuch"));
    EXPECT_FALSE(result.IsNull());
    EXPECT_EQ(result.Length(), 0u);
    EXPECT_EQ(Code(), CMDERR_CATCH_ALL);
    EXPECT_EQ(cmd->m_lastErrorText, c.text);
  }
}

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST_F(XmlExchangeTest, HostileTextsAreRefusedAndNothingIsStored) {
  StoreCalculation("Flow1", "x = 1");
  const std::vector<std::string> before = Entries("Calc");
  std::u16string loneSurrogate = u"<Calculation version=\"1\"><Name>A";
  loneSurrogate.push_back(static_cast<char16_t>(0xD800));
  loneSurrogate += u"</Name></Calculation>";
  struct Case {
    const char* what;
    Bstr text;
    const char* error;
  } cases[] = {
      {"not well-formed", B("<Calculation version=\"1\"><Name>x</Calculation>"), "Error loading XML string."},
      {"empty", B(""), "Error loading XML string."},
      {"wrong root", B("<Library version=\"1\"><Name>x</Name></Library>"), "Error executing LoadXML method."},
      {"deeply nested", B(Repeat("<a>", 10000) + Repeat("</a>", 10000)), "Error loading XML string."},
      {"entity expansion",
       B("<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;&lol;\">"
         "<!ENTITY ext SYSTEM \"file:///etc/passwd\">]><lolz>&lol2;&ext;</lolz>"),
       "Error executing LoadXML method."},
      {"50 MB", B("<Data>" + std::string(50u << 20, 'x') + "</Data>"), "Error executing LoadXML method."},
      {"lone surrogate", Bstr(loneSurrogate), "Error loading XML string."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(exchange::LoadCalcXML(*cmd, c.text, New(components::CLSID_ZrCalculation).Get()), 0);
    EXPECT_EQ(Code(), CMDERR_CATCH_ALL);
    EXPECT_EQ(cmd->m_lastErrorText, c.error);
    const Bstr reply = exchange::LoadXmlIntoCalc(*cmd, c.text, New(components::CLSID_ZrCalculation).Get());
    EXPECT_EQ(reply.ToUtf8().rfind("<ERROR", 0), 0u);
  }
  EXPECT_EQ(Entries("Calc"), before);
  EXPECT_EQ(Entries("Calc/Edit"), std::vector<std::string>{});
}

// What the store keeps, an export carries and an import takes back: a script that does not
// compile and a calculation type without a formula included. The import leaves the compile
// error on the object.
TEST_F(XmlExchangeTest, EveryExportImportsAgain) {
  struct Case {
    const char* name;
    const char* script;
    long calcType;
  } cases[] = {
      {"BadScript", "x = = 1", components::kCalcTypeCalcScript},
      {"TypeOne", "return 1", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto made = New(components::CLSID_ZrCalculation);
    auto calc = com::QueryInterface<components::IZrCalculation>(made);
    calc->SetName(B(c.name));
    calc->SetCalcType(c.calcType);
    calc->SetCalcScript(B(c.script));
    ASSERT_TRUE(store::SaveCalculationObject(*cmd, made.Get())) << cmd->m_lastErrorText;
    const Bstr exported = exchange::SaveCalcXML(*cmd, B(c.name));
    ASSERT_FALSE(exported.IsNull());
    auto copy = New(components::CLSID_ZrCalculation);
    EXPECT_EQ(exchange::LoadCalcXML(*cmd, exported, copy.Get()), 1) << cmd->m_lastErrorText;
    EXPECT_EQ(Code(), 0);
    EXPECT_NE(exchange::ObjectToXml(*cmd, copy.Get()).ToUtf8().find("<Level>2</Level>"), std::string::npos);
  }
}

TEST_F(XmlExchangeTest, ParseFailureReplyGivesReasonLineAndPosition) {
  const std::string text = "<Calculation version=\"1\">\n  <N\xC3\xA9me>x</Name>\n</Calculation>";
  const std::string reply = exchange::LoadXmlIntoCalc(*cmd, B(text), New(components::CLSID_ZrCalculation).Get()).ToUtf8();
  EXPECT_EQ(reply.rfind("<ERROR Line=\"2\" Pos=\"", 0), 0u) << reply;
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(reply.c_str()));
  pugi::xml_node e = doc.document_element();
  EXPECT_STREQ(e.first_attribute().name(), "Line");
  EXPECT_STREQ(e.first_attribute().next_attribute().name(), "Pos");
  // The mismatch is found at the closing tag: characters, not bytes, count the position.
  EXPECT_EQ(e.attribute("Pos").as_int(), 12);
  EXPECT_EQ(std::string(e.text().get()), "Failed to load calculation XML: mismatched tag");
}

TEST_F(XmlExchangeTest, LoadingIntoAGivenObjectDoesNotStoreIt) {
  StoreCalculation("Flow1", "x = 1");
  std::string text = Renamed(exchange::SaveCalcXML(*cmd, B("Flow1")).ToUtf8(), "Flow1", "Flow9");
  ComPtr<IDispatch> calc = New(components::CLSID_ZrCalculation);
  EXPECT_TRUE(exchange::LoadXmlIntoCalc(*cmd, B(text), calc.Get()).IsNull());
  EXPECT_EQ(Text(calc.Get(), "Name"), "Flow9");
  EXPECT_FALSE(Exists("Calc/Flow9.zrc"));
  EXPECT_EQ(exchange::ObjectToXml(*cmd, calc.Get()).ToUtf8(), text);
}

TEST_F(XmlExchangeTest, AnImportWhoseSaveIsRefusedReportsTheSavesError) {
  StoreCalculation("Flow1", "x = 1");
  const std::string text = Renamed(exchange::SaveCalcXML(*cmd, B("Flow1")).ToUtf8(), "Flow1", "Flow2");
  service->heldRights = 0;
  EXPECT_EQ(exchange::LoadCalcXML(*cmd, B(text), New(components::CLSID_ZrCalculation).Get()), 0);
  EXPECT_EQ(Code(), CMDERR_DENIED_CALC);
  EXPECT_FALSE(Exists("Calc/Flow2.zrc"));
}

}  // namespace
}  // namespace kv::testing
