#include "app/service_module.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace kv::app {
namespace {

using ::testing::ElementsAre;

class ServiceControl : public ::testing::Test {
 protected:
  ServiceControl() : module_(env_.env(), Outputs()) { module_.Init(); }
  CServiceModule::Outputs Outputs() {
    CServiceModule::Outputs out;
    out.notify = [this](const std::string& text) { notes_.push_back(text); };
    out.journal = [this](int priority, const std::string& text) {
      journal_.push_back(text);
      priorities_.push_back(priority);
    };
    out.out = &stdout_;
    return out;
  }

  testing::TestEnv env_;
  std::vector<std::string> notes_, journal_;
  std::vector<int> priorities_;
  std::ostringstream stdout_;
  CServiceModule module_;
};

TEST_F(ServiceControl, StatusReportsBecomeNotifications) {
  module_.SetServiceStatus(CServiceModule::SERVICE_START_PENDING);
  module_.SetServiceStatus(CServiceModule::SERVICE_RUNNING);
  module_.Handler(CServiceModule::kControlStop);
  module_.SetServiceStatus(CServiceModule::SERVICE_STOPPED);
  EXPECT_THAT(notes_, ElementsAre("STATUS=starting", "READY=1\nSTATUS=running",
                                  "STOPPING=1\nSTATUS=stopping", "STATUS=stopped"));
}

TEST_F(ServiceControl, ControlsStopShutdownIgnoreOrComplain) {
  struct Case {
    int control;
    int quits;
    std::vector<std::string> journal;
  } cases[] = {
      {CServiceModule::kControlStop, 1, {}},
      {CServiceModule::kControlShutdown, 1, {}},
      {CServiceModule::kControlPause, 0, {}},
      {CServiceModule::kControlContinue, 0, {}},
      {CServiceModule::kControlInterrogate, 0, {}},
      {138, 0, {"Bad service request"}},  // SIGUSR1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    CServiceModule module(env_.env(), Outputs());
    module.Init();
    journal_.clear();
    module.Handler(c.control);
    EXPECT_EQ(module.QuitsPosted(), c.quits);
    EXPECT_EQ(journal_, c.journal);
    EXPECT_EQ(module.CurrentState(),
              c.quits ? CServiceModule::SERVICE_STOP_PENDING : CServiceModule::SERVICE_STOPPED);
  }
}

// The second stop only repeats the report and posts one more quit, which nobody reads.
TEST_F(ServiceControl, ASecondStopRepeatsTheReport) {
  module_.Handler(CServiceModule::kControlStop);
  module_.Handler(CServiceModule::kControlStop);
  EXPECT_EQ(module_.QuitsPosted(), 2);
  EXPECT_THAT(notes_, ElementsAre("STOPPING=1\nSTATUS=stopping", "STOPPING=1\nSTATUS=stopping"));
}

TEST_F(ServiceControl, EventsGoToTheJournalAsAServiceElseToStdout) {
  module_.LogEvent("Service started");
  EXPECT_THAT(journal_, ElementsAre("Service started"));
  EXPECT_THAT(priorities_, ElementsAre(LOG_INFO));
  EXPECT_EQ(stdout_.str(), "");

  module_.m_bService = false;
  module_.LogEvent("Service started");
  module_.LogEvent(std::string(300, 'x'));
  module_.SetServiceStatus(CServiceModule::SERVICE_RUNNING);  // no service manager to tell
  EXPECT_EQ(stdout_.str(), "Service started\n" + std::string(256, 'x') + "\n");
  EXPECT_EQ(journal_.size(), 1u);
  EXPECT_THAT(notes_, ::testing::IsEmpty());
}

TEST_F(ServiceControl, TheEleventhObjectSharesTheFirstsApartment) {
  ApartmentPool& pool = module_.Pool();
  std::vector<int> numbers;
  for (int i = 0; i < 11; ++i) numbers.push_back(pool.Next().Number());
  EXPECT_EQ(numbers.front(), 1);
  EXPECT_EQ(numbers.back(), numbers.front());
}

}  // namespace
}  // namespace kv::app
