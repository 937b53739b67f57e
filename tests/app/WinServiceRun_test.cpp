// The service's own run (what the service manager's thread runs between its
// start and its stop) in this process, with nobody logged on and no window:
// the stored settings against the stand-in server, the real WinHTTP against the
// recording HTTP server, and the events through a sink that records what
// ReportEventW would be given (Wine keeps no event log to read back, and a
// service's error output goes nowhere there).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Notices.h"
#include "app/Service.h"
#include "app/WinHttp.h"
#include "engine/Clock.h"
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

// The service's run on a thread of this process, stopped (and waited for) at
// the latest when this goes.
struct ServeRun {
  ServeRun() {
    controls.begin(nullptr);
    run = std::thread([this] { app::Serve(controls, events, http); });
  }
  ~ServeRun() {
    controls.control(SERVICE_CONTROL_STOP, 0);
    if (run.joinable()) run.join();
  }
  ServeRun(const ServeRun&) = delete;
  ServeRun& operator=(const ServeRun&) = delete;

  app::ServiceControls controls;
  RecordedEvents events;
  app::WinHttpTransport http;
  std::thread run;
};

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

  ServeRun service;
  app::ServiceControls& controls = service.controls;
  RecordedEvents& events = service.events;

  EXPECT_TRUE(WaitUntil([&] { return controls.state() == SERVICE_RUNNING; }, 30000)) << controls.state();
  ASSERT_TRUE(WaitForBackupFile(minute, Wide(folder + minute.fileName())));
  ASSERT_TRUE(WaitUntil([&] { return recorder.paths().size() >= 2; }, 30000));

  // Stopped: the run ends, and says so last.
  EXPECT_EQ(controls.control(SERVICE_CONTROL_STOP, 0), static_cast<DWORD>(NO_ERROR));
  service.run.join();
  EXPECT_EQ(recorder.paths(), (std::vector<std::string>{"/svc/t0ken/start", "/svc/t0ken"}));
  EXPECT_EQ(events.all(),
            (std::vector<EventId>{EventId::ServiceStarted, EventId::BackupSucceeded, EventId::ServiceStopped}));
  controls.report(SERVICE_STOPPED);
}

// What the service answers a restore window it cannot serve: a request left
// from before its start is gone at once; one too old, one it cannot read, and
// one for a backup it does not list are not run, each said in the history, and
// the window gets the refusal as the answer to its own request.
TEST_F(WinServiceRun, RefusesTheRestoreRequestsItMustNotRunAndSaysWhy) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  const std::string folder = kFolder + "\\service-restore\\";
  ASSERT_TRUE(StoreConnection(ComputerName(), "sa", "pw", "shop", folder));
  ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "0"));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestEvery", "0"));
  ASSERT_TRUE(WriteString(kStatusKey, "PingAddress", ""));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreRequestAnswer", ""));
  const std::string history = "C:\\ProgramData\\Bakwyn\\Bakwyn.log";
  const size_t historyFrom = ReadWholeFile(std::filesystem::path(Wide(history))).size();
  const std::string now = std::to_string(CalendarMilliseconds(SystemClock().now()));
  const std::string old = std::to_string(CalendarMilliseconds(SystemClock().now()) - 5 * 60 * 1000);
  const std::string path = folder + "2026年12月10日02时00分.bak";
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreRequest", "1|left-1|" + now + "|current|1|someone|" + path + "|"));

  ServeRun service;
  app::ServiceControls& controls = service.controls;
  RecordedEvents& events = service.events;
  ASSERT_TRUE(WaitUntil([&] { return controls.state() == SERVICE_RUNNING; }, 30000)) << controls.state();
  EXPECT_EQ(ReadString(kStatusKey, "RestoreRequest").value_or("?"), "") << "not meant for this start";
  EXPECT_EQ(ReadString(kStatusKey, "RestoreRequestAnswer").value_or("?"), "") << "and never answered";

  const auto ask = [&](const std::string& request, const std::string& id) {
    EXPECT_TRUE(WriteString(kStatusKey, "RestoreRequest", request));
    EXPECT_EQ(controls.control(app::kRestoreDatabaseControl, 0), static_cast<DWORD>(NO_ERROR));
    std::string answer;
    WaitUntil(
        [&] {
          answer = ReadString(kStatusKey, "RestoreRequestAnswer").value_or("");
          return answer.rfind(id + "|", 0) == 0 && answer.find("|started|") == std::string::npos;
        },
        30000);
    return answer;
  };
  EXPECT_EQ(ask("1|old-1|" + old + "|new|1|someone|" + path + "|shop_1", "old-1"), "old-1|refused|0||恢复请求已过期");
  EXPECT_EQ(ask("1|elsewhere-1|" + now + "|new|1|someone|C:\\windows\\x.bak|shop_1", "elsewhere-1"),
            "elsewhere-1|failed|0||备份 C:\\windows\\x.bak (第1个备份集) 不在备份目录或第二目录的备份中");
  WriteString(kStatusKey, "RestoreRequest", "1|bad|restore everything");
  controls.control(app::kRestoreDatabaseControl, 0);
  std::string lines;
  EXPECT_TRUE(WaitUntil(
      [&] {
        lines = ReadWholeFile(std::filesystem::path(Wide(history))).substr(historyFrom);
        return lines.find("数据库恢复未开始: 恢复请求无法读取") != std::string::npos;
      },
      30000))
      << lines;
  EXPECT_EQ(ReadString(kStatusKey, "RestoreRequest").value_or("?"), "");
  EXPECT_NE(lines.find("数据库恢复未开始: 恢复请求已过期"), std::string::npos) << lines;
  EXPECT_NE(lines.find("数据库恢复未开始: 备份 C:\\windows\\x.bak"), std::string::npos) << lines;
  for (const test::StandInStatement& s : standIn_.record().statements)
    EXPECT_EQ(s.text.find("x.bak"), std::string::npos) << s.text;

  EXPECT_EQ(controls.control(SERVICE_CONTROL_STOP, 0), static_cast<DWORD>(NO_ERROR));
  service.run.join();
  EXPECT_EQ(events.all(), (std::vector<EventId>{EventId::ServiceStarted, EventId::DatabaseRestoreFailed,
                                                EventId::ServiceStopped}));
  controls.report(SERVICE_STOPPED);
}

}  // namespace
}  // namespace bakwyn
