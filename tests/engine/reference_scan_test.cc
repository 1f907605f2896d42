// The text reader of references against the document reader: whatever the text reader accepts,
// the document reader must accept and read to the same summary.
#include "engine/reference_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/calculation.h"
#include "engine/library.h"
#include "engine/reference_summary.h"
#include "engine_test_util.h"

namespace kv::engine {
namespace {

using components::LibrarySummary;
using components::ReferenceSummary;

std::string Describe(const ReferenceSummary& s) {
  std::string out = "calcs:";
  for (const auto& c : s.calculations) out += "[" + c + "]";
  out += " libs:";
  for (const auto& l : s.libraries) out += "[" + l + "]";
  out += " formulas:";
  for (const auto& [l, f] : s.formulas) out += "[" + l + "." + f + "]";
  out += " tags:";
  for (const auto& t : s.tags) out += "[" + t.parameter + "|" + t.server + "|" + t.tag + "]";
  return out;
}

std::string Describe(const LibrarySummary& s) {
  std::string out;
  for (const auto& [name, refs] : s.formulas) out += "{" + name + ": " + Describe(refs) + "}";
  return out;
}

// What the document reader makes of `text`: its summary, or "" where it reads nothing.
template <class Summary>
std::string ByDocument(std::string text, bool (*read)(pugi::xml_node, Summary*)) {
  pugi::xml_document doc;
  Summary s;
  if (!ParseObjectText(text, &doc) || !read(doc.document_element(), &s)) return "";
  return "read " + Describe(s);
}

// Checks the text reader against the document reader; whether the text reader read it.
bool ScannedAlike(const std::string& text, bool library) {
  std::string scanned;
  bool accepted;
  if (library) {
    LibrarySummary s;
    accepted = ScanLibraryReferences(text, &s);
    scanned = "read " + Describe(s);
  } else {
    ReferenceSummary s;
    accepted = ScanCalculationReferences(text, &s);
    scanned = "read " + Describe(s);
  }
  if (accepted) {
    const std::string expected =
        library ? ByDocument(text, &ReadLibraryReferences) : ByDocument(text, &ReadCalculationReferences);
    EXPECT_EQ(scanned, expected) << "text:\n" << text;
  }
  return accepted;
}

class ReferenceScanTest : public ::testing::Test {
 protected:
  // A calculation as the engine writes it, with every kind of reference and text to decode.
  std::string CalculationText() {
    auto c = com::MakeCom<ZrCalculation>();
    c->SetName(com::Bstr::FromUtf8("Flow & \"Level\""));
    c->SetScript("-- a < b\nif x > 1 then Out = Stats.Mean(In1, 'it''s') else Out = Lib1.F2(Prev) end");
    c->SetLibraries({"Stats", "Lib<1>"});
    c->AddParameter(ParameterFields{.name = "In1", .kind = components::kParamTag, .serverName = "plant&1",
                                    .tagName = "FIC\"101\""},
                    com::Variant::R8(2.5));
    c->AddParameter(ParameterFields{.name = "Prev", .kind = components::kParamCalculation, .calcName = "Area\\C<1>"},
                    com::Variant());
    c->AddParameter(ParameterFields{.name = "Gain"}, com::Variant::Str("a'b"));
    return c->ToXml();
  }
  std::string LibraryText() {
    auto lib = com::MakeCom<ZrLibrary>();
    lib->SetName(com::Bstr::FromUtf8("Util"));
    for (const char* name : {"Zed", "A&B"}) {
      auto f = lib->NewFormula(name);
      f->SetScript("return Stats.Mean(a) > Other.Max(b)");
      f->AddParameter(ParameterFields{.name = "a", .kind = components::kParamCalculation, .calcName = "X"},
                      com::Variant::R8(0));
    }
    return lib->ToXml();
  }

  platform::Env platform_ = platform::Env::Current();
  testing::ScopedServerObjects objects_{platform_};
};

TEST_F(ReferenceScanTest, ReadsWhatTheEngineWritesAsTheDocumentReaderDoes) {
  EXPECT_TRUE(ScannedAlike(CalculationText(), false));
  EXPECT_TRUE(ScannedAlike(LibraryText(), true));
  ReferenceSummary s;
  ASSERT_TRUE(ScanCalculationReferences(CalculationText(), &s));
  ASSERT_EQ(s.tags.size(), 1u);
  EXPECT_EQ(s.tags[0].tag, "FIC\"101\"");
  EXPECT_EQ(s.libraries.back(), "Lib<1>");
}

// Hand-made documents at the edges of the plain form: each must be read alike or declined, and
// the plain ones must not be declined (else the fast path would quietly never run).
TEST_F(ReferenceScanTest, EdgesOfThePlainForm) {
  const std::string head = "<Calculation version=\"1\"><Name>C</Name>";
  const std::string tail = "</Calculation>";
  // A parameter the engine loads: its Value is required.
  auto param = [](const std::string& fields) {
    return "<Parameters><Parameter>" + fields + "<Value type=\"0\"/></Parameter></Parameters>";
  };
  const struct {
    const char* what;
    std::string text;
    bool scanned;
  } cases[] = {
      {"bare", head + tail, true},
      {"declaration and blanks", "<?xml version=\"1.0\" encoding='UTF-8'?>\n" + head + tail + "\n", true},
      {"single-quoted version and spaced attributes", "<Calculation a = 'x'  version='1' ><Name>C</Name>" + tail, true},
      {"first version counts", "<Calculation version=\"1\" version=\"9\"><Name>C</Name>" + tail, true},
      {"empty name", "<Calculation version=\"1\"><Name/>" + tail, true},
      {"blank name kept", "<Calculation version=\"1\"><Name> </Name>" + param("<Name>\t</Name><Kind>1</Kind>") + tail,
       true},
      {"first field of a name counts",
       head + "<Script>a=X.Y</Script><Script>b=Z.W</Script>" +
           param("<Name>p</Name><Kind>2</Kind><CalcName>A</CalcName><Kind>1</Kind><CalcName>B</CalcName>") + tail,
       true},
      {"second lists are passed over",
       head + "<Libraries><Library>L1</Library><Other/></Libraries><Libraries><Library>L2</Library></Libraries>" + tail,
       true},
      {"entities in fields", head + param("<Name>&lt;p&gt;</Name><Kind>1</Kind><TagName>&amp;&quot;&apos;</TagName>") + tail,
       true},
      // What the engine would not load is not summarised: each is declined by the scan and refused
      // by the document reader.
      {"kind with trailing text", head + param("<Name>p</Name><Kind>2x</Kind><CalcName>A</CalcName>") + tail, false},
      {"kind with a trailing blank", head + param("<Name>p</Name><Kind>2 </Kind><CalcName>A</CalcName>") + tail, false},
      {"direction not a number", head + param("<Name>p</Name><Direction>in</Direction>") + tail, false},
      {"bad save time", head + "<SaveTime>yesterday</SaveTime>" + tail, false},
      {"level out of range", head + "<Level>99999999999</Level>" + tail, false},
      {"value not of its type", head + "<Value type=\"5\">abc</Value>" + tail, false},
      {"value without a type", head + "<Value>1</Value>" + tail, false},
      {"parameter without a value",
       head + "<Parameters><Parameter><Name>p</Name><Kind>1</Kind></Parameter></Parameters>" + tail, false},
      {"two parameters of one name",
       head + "<Parameters><Parameter><Name>p</Name><Value type=\"0\"/></Parameter>"
              "<Parameter><Name>p</Name><Value type=\"0\"/></Parameter></Parameters>" + tail,
       false},
      {"a later field of a name is not read", head + "<SaveTime>1</SaveTime><SaveTime>x</SaveTime>" + tail, true},
      {"unknown fields of any shape", head + "<X a='1'><Y>t<Z/>u</Y>&bogus;</X>" + tail, true},
      {"carriage returns kept", head + "<Script>a = Q.R\r\nb = 1</Script>" + tail, true},
      {"character reference", head + param("<Name>&#65;</Name>") + tail, false},
      {"unknown entity in a field", head + "<Script>&nbsp;</Script>" + tail, false},
      {"comment after a list was read", head + "<Libraries><Library>L</Library></Libraries><!-- x -->" + tail, false},
      {"CDATA script", head + "<Script><![CDATA[a = X.Y]]></Script>" + tail, false},
      {"element inside a name", "<Calculation version=\"1\"><Name>C<b/></Name>" + tail, false},
      {"processing instruction", head + "<?pi x?>" + tail, false},
      {"byte order mark", "\xEF\xBB\xBF" + head + tail, false},
      {"text after the root", head + tail + "x", false},
      {"second root", head + tail + "<Calculation/>", false},
      {"mismatched end tag", head + "</Calculatio>", false},
      {"unclosed root", head, false},
      {"attribute without blank", "<Calculation version=\"1\"a=\"2\"><Name>C</Name>" + tail, false},
      {"version 2", "<Calculation version=\"2\"><Name>C</Name>" + tail, false},
      {"version with a blank", "<Calculation version=\" 1\"><Name>C</Name>" + tail, false},
      {"no name", "<Calculation version=\"1\">" + tail, false},
      {"parameter without a name", head + param("<Kind>1</Kind>") + tail, false},
      {"name outside ASCII", head + "<\xC3\xA9/>" + tail, false},
      {"NUL in text", head + std::string("<Script>a\0b</Script>", 20) + tail, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ScannedAlike(c.text, false), c.scanned);
    // Declined or not, the file's summary is the document reader's.
    std::string text = c.text;
    ReferenceSummary s;
    const bool read = CalculationFileReferences(text, &s);
    EXPECT_EQ(read ? "read " + Describe(s) : "", ByDocument(c.text, &ReadCalculationReferences));
  }
  std::string deep = head;
  for (int i = 0; i < 40; ++i) deep += "<D>";
  for (int i = 0; i < 40; ++i) deep += "</D>";
  EXPECT_FALSE(ScannedAlike(deep + tail, false));
  EXPECT_NE(ByDocument(deep + tail, &ReadCalculationReferences), "");
}

// Random edits of engine-written files, with XML's own markup among them: the two readers never
// disagree on a text the text reader accepts.
TEST_F(ReferenceScanTest, EditedFilesNeverReadDifferently) {
  static const char* const kPieces[] = {"<", ">", "/", "&", ";", "\"", "'", "=", " ", "\n", "!", "?", "-", ":",
                                        ".", "a", "1", "#", "[", "\xC3", "<!-- c -->", "<![CDATA[X.Y]]>",
                                        "&amp;", "&#65;", "&lt", "<x/>", "</x>", " v='1'", "<?pi x?>",
                                        "<Name>N</Name>", "<Kind>2</Kind>", "<CalcName>Q</CalcName>",
                                        "<Library>M</Library>", "<Parameter><Name>z</Name></Parameter>"};
  std::mt19937 rng(20261211);
  const std::string originals[] = {CalculationText(), LibraryText()};
  int accepted[2] = {0, 0};
  for (int round = 0; round < 200000; ++round) {
    const int which = round % 2;
    std::string text = originals[which];
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % (text.size() + 1);
      switch (rng() % 4) {
        case 0: text.insert(at, kPieces[rng() % std::size(kPieces)]); break;
        case 1: text.erase(at, 1 + rng() % 12); break;
        case 2:
          if (at < text.size()) text[at] = kPieces[rng() % 20][0];
          break;
        default: text.insert(at, text.substr(rng() % text.size(), 1 + rng() % 40)); break;
      }
    }
    if (ScannedAlike(text, which == 1)) ++accepted[which];
    if (HasFailure()) break;
  }
  // Enough edits keep the plain form for the comparison to mean something.
  EXPECT_GT(accepted[0], 5000);
  EXPECT_GT(accepted[1], 5000);
}

}  // namespace
}  // namespace kv::engine
