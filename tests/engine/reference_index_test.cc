#include "engine/reference_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "engine/calculation.h"
#include "engine/library.h"
#include "engine_test_util.h"

namespace kv::engine {
namespace {

using components::SummaryPtr;
using testing::ScratchDir;

std::string CalcFile(const std::string& name, const std::string& script, const std::string& calcRef = "") {
  std::string params;
  if (!calcRef.empty())
    params = "<Parameter><Name>in</Name><Kind>2</Kind><CalcName>" + calcRef + "</CalcName><Value type=\"VT_EMPTY\"/></Parameter>";
  return "<Calculation version=\"1\"><Name>" + name + "</Name><Script>" + script + "</Script><Parameters>" + params +
         "</Parameters></Calculation>";
}

class ReferenceIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("Calc");
    dir_.MakeDir("Lib");
    platform_.clock = &clock_;
  }
  std::vector<SummaryPtr> Ask(const std::vector<std::string>& names) {
    std::vector<SummaryPtr> out;
    EXPECT_EQ(index_->CalculationSummaries(dir_.Path(), names, &out), com::S_OK);
    return out;
  }
  int64_t MtimeMs(const std::string& rel) {
    struct stat st;
    EXPECT_EQ(::stat(platform::ToFsPath(dir_.W(rel)).c_str(), &st), 0);
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  }

  ScratchDir dir_;
  platform::FixedClock clock_{0};
  platform::Env platform_ = platform::Env::Current();
  testing::ScopedServerObjects objects_{platform_};
  com::ComPtr<ZrReferenceIndex> index_ = com::MakeCom<ZrReferenceIndex>();
};

TEST_F(ReferenceIndexTest, ReadsAFileAgainOnlyWhenItChanges) {
  dir_.Write("Calc\\A.zrc", CalcFile("A", "Out = Stats.Mean(x)", "Flow1"));
  dir_.Write("Calc\\B.zrc", CalcFile("B", "Out = 1"));
  dir_.Write("Calc\\Bad.zrc", "<Library version=\"1\"><Name>Bad</Name></Library>");
  clock_.Set(MtimeMs("Calc\\A.zrc") + 10 * 1000);

  auto first = Ask({"A", "B", "Bad", "Missing"});
  ASSERT_TRUE(first[0] && first[1]);
  EXPECT_FALSE(first[2]);  // not a calculation
  EXPECT_FALSE(first[3]);
  EXPECT_TRUE(first[0]->RefersToCalculation("Flow1"));
  EXPECT_TRUE(first[0]->RefersToFormula("Stats", "Mean"));
  EXPECT_TRUE(first[0]->RefersToFormula("Stats", ""));
  const uint64_t cold = index_->FilesRead();
  EXPECT_EQ(cold, 4u);

  auto warm = Ask({"A", "B", "Bad", "Missing"});
  EXPECT_EQ(warm[0], first[0]);  // the same summary, not read again
  EXPECT_EQ(index_->FilesRead(), cold + 1);  // only the missing file is looked for again

  dir_.Write("Calc\\A.zrc", CalcFile("A", "Out = Stats.Max(x)"));
  auto after = Ask({"A", "B"});
  EXPECT_EQ(index_->FilesRead(), cold + 2);
  EXPECT_FALSE(after[0]->RefersToFormula("Stats", "Mean"));
  EXPECT_TRUE(after[0]->RefersToFormula("Stats", "Max"));

  // "Bad" was not asked for: its entry went, so the next question reads it again.
  Ask({"Bad"});
  EXPECT_EQ(index_->FilesRead(), cold + 3);
}

TEST_F(ReferenceIndexTest, AFileModifiedWithinTheClockTickIsNotTrusted) {
  dir_.Write("Calc\\A.zrc", CalcFile("A", "Out = Stats.Mean(x)"));
  clock_.Set(MtimeMs("Calc\\A.zrc") + ZrReferenceIndex::kRacyWindowMs / 2);
  Ask({"A"});
  Ask({"A"});
  EXPECT_EQ(index_->FilesRead(), 2u);
  clock_.Advance(ZrReferenceIndex::kRacyWindowMs * 2);
  Ask({"A"});  // read once more, now old enough to trust
  Ask({"A"});
  EXPECT_EQ(index_->FilesRead(), 3u);
}

TEST_F(ReferenceIndexTest, LibrariesGiveEachFormulaInOrder) {
  dir_.Write("Lib\\Util.zrc",
             "<Library version=\"1\"><Name>Util</Name><Formulas>" + CalcFile("Zed", "return Stats.Mean(a)") +
                 CalcFile("Avg", "return a") + "</Formulas></Library>");
  std::vector<components::LibrarySummaryPtr> libs;
  ASSERT_EQ(index_->LibrarySummaries(dir_.Path(), {"Util"}, &libs), com::S_OK);
  ASSERT_TRUE(libs[0]);
  ASSERT_EQ(libs[0]->formulas.size(), 2u);
  EXPECT_EQ(libs[0]->formulas[0].first, "Zed");
  EXPECT_TRUE(libs[0]->formulas[0].second.RefersToFormula("Stats", "Mean"));
  EXPECT_EQ(libs[0]->formulas[1].first, "Avg");
}

TEST_F(ReferenceIndexTest, ObjectsSavedByTheEngineAreRead) {
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetName(com::Bstr::FromUtf8("Saved"));
  calc->SetScript("Out = Stats.Mean(a)");
  calc->SetLibraries({"Units"});
  ParameterFields tag{.name = "In1", .kind = components::kParamTag, .serverName = "plant7", .tagName = "FIC101"};
  ParameterFields other{.name = "In2", .kind = components::kParamCalculation, .calcName = "Flow1"};
  ASSERT_TRUE(calc->AddParameter(tag, com::Variant::R8(1)));
  ASSERT_TRUE(calc->AddParameter(other, com::Variant()));
  ASSERT_EQ(calc->SaveFile(dir_.W("Calc\\Saved.zrc")), com::S_OK);
  auto s = Ask({"Saved"});
  ASSERT_TRUE(s[0]);
  EXPECT_TRUE(s[0]->RefersToFormula("Stats", "Mean"));
  EXPECT_TRUE(s[0]->RefersToFormula("Units", ""));
  EXPECT_TRUE(s[0]->RefersToCalculation("Flow1"));
  ASSERT_EQ(s[0]->tags.size(), 1u);
  EXPECT_EQ(s[0]->tags[0].parameter, "In1");
  EXPECT_EQ(s[0]->tags[0].server, "plant7");
  EXPECT_EQ(s[0]->tags[0].tag, "FIC101");
}

}  // namespace
}  // namespace kv::engine
