// The service's own run (what the service manager's thread runs between its
// start and its stop) in this process, with nobody logged on and no window:
// the stored settings against the stand-in server, the real WinHTTP against the
// recording HTTP server, and the events through a sink that records what
// ReportEventW would be given (Wine keeps no event log to read back, and a
// service's error output goes nowhere there).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Notices.h"
#include "app/Service.h"
#include "app/WinHttp.h"
#include "tests/support/ExeHarness.h"
#include "tests/support/HttpRecorder.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;
using app::EventId;

struct RecordedEvents final : app::EventSink {
  void report(const app::Event& event) noexcept override {
    std::lock_guard lock(mutex);
    ids.push_back(event.id);
  }
  std::vector<EventId> all() {
    std::lock_guard lock(mutex);
    return ids;
  }
  std::mutex mutex;
  std::vector<EventId> ids;
};

using WinServiceRun = ProgramTest;

// The service pings and tells the event log of a scheduled backup with nobody
// logged on, and tells of its start and stop.
TEST_F(WinServiceRun, PingsAndReportsTheSlotsBackupBetweenItsStartAndStop) {
  test::HttpRecorder recorder("service-recorder");
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  const std::string folder = kFolder + "\\service-run\\";
  ASSERT_TRUE(StoreConnection(ComputerName(), "sa", "pw", "shop", folder));
  const Minute minute = ComingMinute(15);
  ASSERT_TRUE(StoreSlot(1, minute.hhnn()));
  ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "0"));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestEvery", "0"));
  ASSERT_TRUE(WriteString(kStatusKey, "PingAddress", recorder.url("/svc/t0ken")));

  app::ServiceControls controls;
  RecordedEvents events;
  app::WinHttpTransport http;
  controls.begin(nullptr);
  std::thread run([&] { app::Serve(controls, events, http); });
  struct Stop {
    app::ServiceControls& controls;
    std::thread& run;
    ~Stop() {
      controls.control(SERVICE_CONTROL_STOP, 0);
      if (run.joinable()) run.join();
    }
  } stop{controls, run};

  EXPECT_TRUE(WaitUntil([&] { return controls.state() == SERVICE_RUNNING; }, 30000)) << controls.state();
  ASSERT_TRUE(WaitForBackupFile(minute, Wide(folder + minute.fileName())));
  ASSERT_TRUE(WaitUntil([&] { return recorder.paths().size() >= 2; }, 30000));

  // Stopped: the run ends, and says so last.
  EXPECT_EQ(controls.control(SERVICE_CONTROL_STOP, 0), static_cast<DWORD>(NO_ERROR));
  run.join();
  EXPECT_EQ(recorder.paths(), (std::vector<std::string>{"/svc/t0ken/start", "/svc/t0ken"}));
  EXPECT_EQ(events.all(),
            (std::vector<EventId>{EventId::ServiceStarted, EventId::BackupSucceeded, EventId::ServiceStopped}));
  controls.report(SERVICE_STOPPED);
}

}  // namespace
}  // namespace bakwyn
