#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/calculation.h"
#include "engine/library.h"
#include "engine_test_util.h"

namespace kv::engine {
namespace {

using ::testing::HasSubstr;
using testing::ErrorCapture;
using testing::ScratchDir;

// Texts that XML must carry unchanged.
const char* const kAwkwardTexts[] = {
    "",
    "plain",
    "quotes \" and ' apostrophes",
    "<tag attr=\"x\">&amp; & ]]> <!-- -->",
    "Grüße – 温度 🌡",
    "line1\nline2\r\nline3\rend",
    "  padded  ",
    "   ",
    "\ttab\t",
    "control \x01 char",
};

const char* const kCalcProperties[] = {"Name",     "Description", "ID",        "Password", "EditOwner",
                                       "SaveTime", "CreationTime", "CalcType", "Script",   "NewState",
                                       "EditState", "Libraries",  "Status",    "ErrorText", "SummaryState",
                                       "Level",    "LastRunTime", "Value"};
const char* const kLibraryProperties[] = {"Name", "Description", "ID", "Password", "EditOwner", "SaveTime",
                                          "FormulaNames"};

std::vector<com::Variant> ParameterValues() {
  return {com::Variant::R8(0.1),
          com::Variant::R8(1.0 / 3.0),
          com::Variant::R8(-1e-300),
          com::Variant::OfReal(com::VT_R4, 2.5),
          com::Variant::I4(INT32_MIN),
          com::Variant::OfInt(com::VT_I8, INT64_MAX),
          com::Variant::OfInt(com::VT_UI1, 255),
          com::Variant::Bool(true),
          com::Variant::Date(45123.987654321),
          com::Variant::OfReal(com::VT_CY, 12.3456),
          com::Variant::Str("a < b"),
          com::Variant(),
          com::Variant::Null()};
}

void Fill(ZrCalculation& c, const std::string& text) {
  ASSERT_EQ(c.SetName(com::Bstr::FromUtf8(text)), com::S_OK);
  ASSERT_EQ(com::PutProperty(&c, "Description", com::Variant::Str(text + "d")), com::S_OK);
  ASSERT_EQ(com::PutProperty(&c, "ID", com::Variant::Str(text + "i")), com::S_OK);
  ASSERT_EQ(com::PutProperty(&c, "Password", com::Variant::I4(-123456789)), com::S_OK);
  c.SetOwnerString(com::Bstr::FromUtf8(text + "o"));
  c.SetSaveTime(45123.123456789012);
  c.SetCreationTime(1.0 / 7.0);
  c.SetNewState(1);
  c.SetEditState(2);
  c.SetCalcType(3);
  c.SetScript(text + "s");
  c.SetLibraries({text, "Lib2"});
  c.SetOutcome(2, text + "s", text + "e");
  std::vector<com::Variant> values = ParameterValues();
  for (size_t i = 0; i < values.size(); ++i)
    ASSERT_TRUE(c.AddParameter(text + std::to_string(i), values[i], text + "u"));
}

void ExpectSameProperties(com::IDispatch* a, com::IDispatch* b, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    com::Variant va, vb;
    ASSERT_EQ(com::GetProperty(a, names[i], &va), com::S_OK) << names[i];
    ASSERT_EQ(com::GetProperty(b, names[i], &vb), com::S_OK) << names[i];
    EXPECT_TRUE(va == vb) << names[i];
  }
}

void ExpectSameCalculation(ZrCalculation& a, ZrCalculation& b) {
  ExpectSameProperties(&a, &b, kCalcProperties, std::size(kCalcProperties));
  auto pa = a.Parameters()->Items(), pb = b.Parameters()->Items();
  ASSERT_EQ(pa.size(), pb.size());
  for (size_t i = 0; i < pa.size(); ++i) {
    EXPECT_EQ(pa[i]->Name(), pb[i]->Name());
    EXPECT_EQ(pa[i]->Units(), pb[i]->Units());
    EXPECT_TRUE(pa[i]->Value() == pb[i]->Value()) << pa[i]->Name() << " type " << pa[i]->Value().vt();
  }
}

class PersistenceTest : public ::testing::Test {
 protected:
  testing::ScopedServerObjects objects_;
  ScratchDir dir_;
  ErrorCapture errors_;
};

TEST_F(PersistenceTest, CalculationRoundTripsEveryFieldThroughAFile) {
  for (const char* text : kAwkwardTexts) {
    SCOPED_TRACE(text);
    auto original = com::MakeCom<ZrCalculation>();
    Fill(*original, text);
    const std::string path = dir_.W("calc.zrc");
    ASSERT_EQ(original->SaveToFile(com::Bstr::FromUtf8(path)), com::S_OK);

    auto loaded = com::MakeCom<ZrCalculation>();
    ASSERT_EQ(loaded->LoadFromFile(com::Bstr::FromUtf8(path)), com::S_OK);
    ExpectSameCalculation(*original, *loaded);
    EXPECT_EQ(loaded->Script(), std::string(text) + "s");
  }
  EXPECT_THAT(errors_.Lines(), ::testing::IsEmpty());
}

TEST_F(PersistenceTest, LibraryRoundTripsItsFieldsAndFormulasInOrder) {
  for (const char* text : kAwkwardTexts) {
    SCOPED_TRACE(text);
    auto original = com::MakeCom<ZrLibrary>();
    original->SetName(com::Bstr::FromUtf8(text));
    original->SetOwnerString(com::Bstr::FromUtf8(std::string(text) + "o"));
    original->SetSaveTime(44000.000011574);
    ASSERT_EQ(com::PutProperty(original.Get(), "Description", com::Variant::Str(text)), com::S_OK);
    ASSERT_EQ(com::PutProperty(original.Get(), "ID", com::Variant::Str(text)), com::S_OK);
    ASSERT_EQ(com::PutProperty(original.Get(), "Password", com::Variant::I4(77)), com::S_OK);
    for (const char* name : {"Zeta", "alpha", "Mid"}) {
      auto formula = com::MakeCom<ZrCalculation>();
      Fill(*formula, std::string(name) + text);
      ASSERT_TRUE(original->AddFormula(formula));
    }
    const std::string path = dir_.W("lib.zrc");
    ASSERT_EQ(original->SaveToFile(com::Bstr::FromUtf8(path)), com::S_OK);

    auto loaded = com::MakeCom<ZrLibrary>();
    ASSERT_EQ(loaded->LoadFromFile(com::Bstr::FromUtf8(path)), com::S_OK);
    ExpectSameProperties(original.Get(), loaded.Get(), kLibraryProperties, std::size(kLibraryProperties));
    auto fa = original->Formulas()->Items(), fb = loaded->Formulas()->Items();
    ASSERT_EQ(fa.size(), fb.size());
    for (size_t i = 0; i < fa.size(); ++i) ExpectSameCalculation(*fa[i], *fb[i]);
  }
}

TEST_F(PersistenceTest, SaveXmlAndLoadXmlCarryTheSameForm) {
  auto original = com::MakeCom<ZrCalculation>();
  Fill(*original, "x & y");
  com::Bstr xml;
  ASSERT_EQ(original->SaveXML(&xml), com::S_OK);
  EXPECT_THAT(xml.ToUtf8(), HasSubstr("<Calculation version=\"1\">"));

  auto loaded = com::MakeCom<ZrCalculation>();
  ASSERT_EQ(loaded->LoadXML(xml), com::S_OK);
  ExpectSameCalculation(*original, *loaded);
}

struct DamagedCase {
  const char* label;
  std::string content;
  const char* reason;  // part of the logged line
};

std::vector<DamagedCase> DamagedCalculations() {
  const std::string valid = [] {
    auto c = com::MakeCom<ZrCalculation>();
    c->SetName(com::Bstr::FromUtf8("Flow1"));
    c->AddParameter("p", com::Variant::R8(1));
    return c->ToXml();
  }();
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string s = valid;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  return {
      {"truncated", valid.substr(0, valid.size() / 2), "line "},
      {"empty", "", "line 1, column 1"},
      {"binary junk", std::string("\x00\xff\xfe\x01<<\x80\x90", 9), "line 1"},
      {"wrong root", "<Library version=\"1\"><Name>x</Name></Library>", "<Library>"},
      {"foreign XML", "<?xml version=\"1.0\"?>\n<html><body/></html>", "line 2, column"},
      {"no version", replace("<Calculation version=\"1\">", "<Calculation>"), "version"},
      {"newer version", replace("version=\"1\"", "version=\"2\""), "version"},
      {"no name", replace("<Name>Flow1</Name>", ""), "<Name>"},
      {"bad number", replace("<Password>0</Password>", "<Password>zero</Password>"), "<Password>"},
      {"number out of range", replace("<Password>0</Password>", "<Password>4294967296</Password>"), "<Password>"},
      {"bad value type", replace("type=\"5\"", "type=\"9\""), "<Value>"},
      {"value not of its type", replace(">1</Value>", ">one</Value>"), "<Value>"},
      {"parameter twice",
       replace("</Parameters>", "<Parameter><Name>p</Name><Value type=\"0\"/></Parameter></Parameters>"), "twice"},
  };
}

TEST_F(PersistenceTest, DamagedCalculationFilesFailWithOneLineAndLeaveTheObjectAlone) {
  for (const DamagedCase& c : DamagedCalculations()) {
    SCOPED_TRACE(c.label);
    ErrorCapture errors;
    const std::string path = dir_.W("bad.zrc");
    dir_.Write("bad.zrc", c.content);
    auto calc = com::MakeCom<ZrCalculation>();
    calc->SetName(com::Bstr::FromUtf8("keep"));
    calc->SetScript("x = 1");

    EXPECT_TRUE(com::FAILED(calc->LoadFromFile(com::Bstr::FromUtf8(path))));
    std::vector<std::string> lines = errors.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr(path));
    EXPECT_THAT(lines[0], HasSubstr(c.reason));
    EXPECT_EQ(calc->Name(), "keep");
    EXPECT_EQ(calc->Script(), "x = 1");
    EXPECT_EQ(calc->Parameters()->Items().size(), 0u);
  }
}

TEST_F(PersistenceTest, ADamagedFormulaFailsTheWholeLibrary) {
  auto lib = com::MakeCom<ZrLibrary>();
  lib->SetName(com::Bstr::FromUtf8("Lib1"));
  lib->NewFormula("F1");
  lib->NewFormula("F2");
  std::string xml = lib->ToXml();
  const std::string second = "<Name>F2</Name>";
  xml.replace(xml.find(second), second.size(), "");

  auto target = com::MakeCom<ZrLibrary>();
  target->SetName(com::Bstr::FromUtf8("keep"));
  target->NewFormula("Old");
  ErrorCapture errors;
  EXPECT_EQ(target->LoadXML(com::Bstr::FromUtf8(xml)), com::E_FAIL);
  ASSERT_EQ(errors.Lines().size(), 1u);
  EXPECT_THAT(errors.Lines()[0], HasSubstr("XML text"));
  EXPECT_EQ(target->Name(), "keep");
  EXPECT_THAT(target->FormulaNames(), ::testing::ElementsAre("Old"));

  // Two formulas of one name are refused too.
  std::string twice = lib->ToXml();
  const std::string f2 = "<Name>F2</Name>";
  twice.replace(twice.find(f2), f2.size(), "<Name>F1</Name>");
  EXPECT_EQ(target->LoadXML(com::Bstr::FromUtf8(twice)), com::E_FAIL);
  EXPECT_THAT(target->FormulaNames(), ::testing::ElementsAre("Old"));
}

TEST_F(PersistenceTest, MissingFilesFailQuietlyAndUnwritablePathsFailWithALine) {
  auto calc = com::MakeCom<ZrCalculation>();
  EXPECT_TRUE(com::FAILED(calc->LoadFromFile(com::Bstr::FromUtf8(dir_.W("none.zrc")))));
  EXPECT_TRUE(com::FAILED(calc->LoadFromFile(com::Bstr::FromUtf8(dir_.W("no\\dir\\none.zrc")))));
  EXPECT_THAT(errors_.Lines(), ::testing::IsEmpty());

  const std::string bad = dir_.W("no\\dir\\calc.zrc");
  EXPECT_TRUE(com::FAILED(calc->SaveToFile(com::Bstr::FromUtf8(bad))));
  ASSERT_EQ(errors_.Lines().size(), 1u);
  EXPECT_THAT(errors_.Lines()[0], HasSubstr(bad));
}

// A disk that is full: every whole-file write fails, everything else is the real file system.
class FullDisk : public platform::FileSystemWrapper {
 public:
  FullDisk() : FileSystemWrapper(platform::RealFileSystem()) {}
  int WriteFileAtomic(std::string_view, std::string_view) override { return platform::crt::kENOSPC; }
};

TEST_F(PersistenceTest, FilesGoThroughTheServerObjectsFileSystem) {
  auto calc = com::MakeCom<ZrCalculation>();
  const std::string path = dir_.W("calc.zrc");
  {
    FullDisk full;
    platform::Env onFullDisk = platform::Env::Current();
    onFullDisk.fs = &full;
    testing::ScopedServerObjects handed(onFullDisk);
    EXPECT_EQ(calc->SaveToFile(com::Bstr::FromUtf8(path)), com::HResultFromWin32(112));  // disk full
    EXPECT_FALSE(std::filesystem::exists(platform::ToFsPath(path)));
    ASSERT_EQ(errors_.Lines().size(), 1u);
    EXPECT_THAT(errors_.Lines()[0], HasSubstr(path));
  }
  ASSERT_EQ(calc->SaveToFile(com::Bstr::FromUtf8(path)), com::S_OK);  // the fixture's objects again

  // Registered without server objects, components have no file system at all.
  SetServerObjects(nullptr);
  EXPECT_EQ(calc->LoadFromFile(com::Bstr::FromUtf8(path)), com::E_UNEXPECTED);
  EXPECT_EQ(calc->SaveToFile(com::Bstr::FromUtf8(dir_.W("other.zrc"))), com::E_UNEXPECTED);
  EXPECT_FALSE(std::filesystem::exists(platform::ToFsPath(dir_.W("other.zrc"))));
  EXPECT_EQ(errors_.Lines().size(), 3u);
}

TEST(DescribeOffset, CountsLinesAndCharacters) {
  struct Case {
    const char* text;
    ptrdiff_t offset;
    const char* expected;
  } cases[] = {
      {"abc", 0, "line 1, column 1"},
      {"abc", 2, "line 1, column 3"},
      {"a\nbc", 3, "line 2, column 2"},
      {"\xc3\xa4\xc3\xa4x", 4, "line 1, column 3"},  // two-byte characters count once
      {"ab", 99, "line 1, column 3"},
      {"ab", -1, "line 1, column 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeOffset(c.text, c.offset), c.expected) << c.text << " @" << c.offset;
}

}  // namespace
}  // namespace kv::engine
