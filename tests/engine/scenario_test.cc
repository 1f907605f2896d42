// The whole road of a calculation as a user takes it, in process: tags seeded with the tag tool,
// a script bound to them, saved, run on demand and by a schedule group, the output's history
// read back with the tag tool; a runaway script in the same group fails alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli_tag.h"
#include "engine/schedule_group.h"
#include "engine_fixture.h"

namespace kv::engine {
namespace {

using ::testing::HasSubstr;
using com::Variant;

class ScenarioTest : public testing::EngineFixture {
 protected:
  std::string Tag(std::vector<std::string> words) {
    std::vector<std::string> args = {"--db", scratch.Path() + "/bin/tags.db"};
    args.insert(args.end(), words.begin(), words.end());
    std::ostringstream out, err;
    EXPECT_EQ(cli::RunTag(args, testEnv.env(), out, err), 0) << err.str();
    return out.str();
  }
};

TEST_F(ScenarioTest, SeedBindSaveRunScheduleAndWatch) {
  env->Tags();  // the server has its store open while the tool works on it
  Tag({"set", "Plant1", "a", "3"});
  Tag({"set", "Plant1", "b", "5"});
  Tag({"set", "Plant1", "Out", "0"});

  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetName(Bstr::FromUtf8("Doubler"));
  calc->SetScript("Out = Stats.Mean(a, b) * 2");
  Variant unused, unbound;
  ASSERT_EQ(calc->CreateParams(Bstr::FromUtf8("Plant1"), &unused, &unbound), com::S_OK);
  EXPECT_TRUE(unused.IsEmpty());
  EXPECT_TRUE(unbound.IsEmpty());
  ASSERT_EQ(calc->SaveFile(scratch.W("Calc\\Doubler.zrc")), com::S_OK);

  com::ComPtr<com::IDispatch> held;
  env->GetCalculation(Bstr::FromUtf8("Doubler"), Bstr(), &held);
  ASSERT_TRUE(held);
  std::vector<Variant> none;
  ASSERT_EQ(com::CallMethod(held.Get(), "Calculate", none, nullptr), com::S_OK);
  Variant value, level, status, text;
  com::GetProperty(held.Get(), "Value", &value);
  com::GetProperty(held.Get(), "Level", &level);
  com::GetProperty(held.Get(), "Status", &status);
  com::GetProperty(held.Get(), "ErrorText", &text);
  EXPECT_EQ(value, Variant::R8(8));
  EXPECT_EQ(level, Variant::I4(0));
  EXPECT_EQ(status, Variant::Str("OK"));
  EXPECT_EQ(text, Variant::Str(""));

  auto runaway = com::MakeCom<ZrCalculation>();
  runaway->SetName(Bstr::FromUtf8("Runaway"));
  runaway->SetScript("local t = {} while true do t[#t + 1] = #t end");
  ASSERT_EQ(runaway->SaveFile(scratch.W("Calc\\Runaway.zrc")), com::S_OK);

  auto group = com::MakeCom<ZrScheduleGroup>();
  com::ComPtr<com::IDispatch> item;
  group->AddItem(Bstr::FromUtf8("Runaway"), &item);
  group->AddItem(Bstr::FromUtf8("Doubler"), &item);
  env->AttachThread();  // as a group thread does
  for (int pass = 0; pass < 3; ++pass) EXPECT_EQ(group->Execute(Bstr()), com::S_FALSE);
  Tag({"set", "Plant1", "a", "7"});
  group->Execute(Bstr());
  env->DetachThread();

  const std::string history = Tag({"history", "Plant1", "Out"});
  std::vector<std::string> values;
  std::istringstream lines(history);
  for (std::string line; std::getline(lines, line);) values.push_back(line.substr(line.find('\t') + 1, line.rfind('\t') - line.find('\t') - 1));
  EXPECT_EQ(values, (std::vector<std::string>{"0", "8", "8", "8", "8", "12"}));

  com::ComPtr<com::IDispatch> failed;
  group->FindItem(Bstr::FromUtf8("Runaway"), &failed);
  EXPECT_EQ(dynamic_cast<ZrScheduledItem*>(failed.Get())->Status(), kItemFailed);
  EXPECT_THAT(dynamic_cast<ZrScheduledItem*>(failed.Get())->ErrorText(), HasSubstr("limit"));
}

}  // namespace
}  // namespace kv::engine
