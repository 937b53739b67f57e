// What reaches beyond the window, through the runtime as the program and the
// service build it (Backups): one event and one ping per outcome, the pings on
// a thread of their own, the failure's lines in its ping, the restore test's
// result to its own address, and an address that cannot be reached told once,
// by its host only.
#include "app/Backups.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/StoredSchedule.h"
#include "engine/VerifiedBackups.h"
#include "settings/MemoryRegistry.h"
#include "tests/support/EngineFakes.h"
#include "tests/support/FakeSession.h"
#include "tests/support/TestProtector.h"

namespace bakwyn::app {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string kDir = "D:\\bak\\";
const std::string kAddress = "https://hc.example.net/ping/5f1c-secret-token";
const std::string kTestAddress = "https://alerts.example.org/in/abc?key=s3cret";

struct Recorded {
  EventId id;
  std::vector<std::string> strings;
  friend bool operator==(const Recorded&, const Recorded&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Recorded& r) {
    out << static_cast<int>(r.id) << ":";
    for (const std::string& s : r.strings) out << " [" << s << "]";
    return out;
  }
};

// Events as the sink is given them; the pinger's thread reports too.
struct Events final : EventSink {
  void report(const Event& event) noexcept override {
    std::lock_guard lock(mutex);
    seen.push_back({event.id, event.strings});
  }
  std::vector<Recorded> all() {
    std::lock_guard lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::vector<Recorded> seen;
};

struct Post {
  std::string url;
  std::string body;
};

// Every POST as the transport is given it, answered by `answer` (200 unless set).
struct Transport final : HttpTransport {
  HttpAnswer post(const std::string& url, const std::string& body, std::chrono::milliseconds) override {
    std::lock_guard lock(mutex);
    posts.push_back({url, body});
    return answer ? answer(url) : HttpAnswer{true, 200, {}};
  }
  std::vector<std::string> urls() {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const Post& p : posts) out.push_back(p.url);
    return out;
  }
  std::vector<Post> all() {
    std::lock_guard lock(mutex);
    return posts;
  }
  std::mutex mutex;
  std::vector<Post> posts;
  std::function<HttpAnswer(const std::string&)> answer;
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The runtime over fakes with a real worker and the pinger's real thread, on
// Sunday 13 December 2026 at the 02:00 slot; the scripted server writes each
// backup's file and answers the restore test's queries.
struct Rig {
  testing::FakeClock clock{{2026, 12, 13, 2, 0, 5, 0}};
  testing::FakeSession session;
  testing::MemoryFiles files;
  settings::MemoryRegistry registry;
  form::TrayIcon tray{"rmTrayIcon1"};
  Events events;
  Transport http;
  ThreadWorker worker;
  // Short waits between tries, so that a refused address is told at once.
  Backups backups{clock, session, files, registry, nullptr, "C:\\ProgramData\\Bakwyn\\Bakwyn.log", {}, worker,
                  &tray, [] { return std::string("OFFICE1"); }, &events, &http,
                  Pinger::Timing{std::chrono::milliseconds(1000), std::chrono::milliseconds(1),
                                 std::chrono::milliseconds(1), std::chrono::milliseconds(3'600'000)}};
  Runtime& runtime = backups.runtime;
  std::vector<std::string> lines;
  struct Lines final : RuntimeObserver {
    std::vector<std::string>* into;
    void logged(const LocalDateTime&, const std::string& text, bool) override { into->push_back(text); }
  } seen;

  Rig() {
    files.folders.insert(kDir);
    files.available = 100ULL << 30;
    session.onExecute = [this](const std::string& statement) {
      if (StartsWith(statement, "BACKUP DATABASE ")) {
        const size_t from = statement.find("DISK = N'") + 9;
        files.add(statement.substr(from, statement.find('\'', from) - from), "a backup", clock.now());
      }
    };
    session.onQuery = [this](const std::string& statement) {
      if (StartsWith(statement, "RESTORE FILELISTONLY"))
        return QueryResult{{"LogicalName", "PhysicalName", "Type", "Size"}, {{"shop", "C:\\shop.mdf", "D", "1024"}}};
      return session.headers(statement);
    };
    seen.into = &lines;
    runtime.addObserver(&seen);
    // The daily health checks have tests of their own (below).
    runtime.setHealthCheck(nullptr);
  }
  void arm(std::string address, std::string testAddress = {}, RestoreTestPlan::Every test = RestoreTestPlan::Every::never) {
    Schedule schedule;
    schedule.settings.database = "shop";
    schedule.settings.backupDir = kDir;
    schedule.settings.slots[0] = {true, "02:00", {}};
    schedule.settings.restoreTest.every = test;
    schedule.settings.pingAddress = std::move(address);
    schedule.settings.restoreTestPingAddress = std::move(testAddress);
    runtime.start();
    runtime.arm(schedule);
  }
  ~Rig() { runtime.cancelBackup(); }
  bool tickUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
      runtime.tick();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Every ping sent, and every line they logged handed to the runtime's thread.
  void settle() {
    ASSERT_TRUE(tickUntil([&] { return !runtime.backupRunning(); }));
    // What the worker posted as it ended reaches the observers, and so the pinger.
    for (int i = 0; i < 3; ++i) runtime.tick();
    ASSERT_TRUE(backups.pinger->idle(std::chrono::seconds(10)));
    for (int i = 0; i < 3; ++i) runtime.tick();
  }
  bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

TEST(Notifier, ASuccessfulBackupPingsStartThenSuccessAndIsOneEvent) {
  Rig r;
  r.arm(kAddress);
  r.runtime.tick();
  r.settle();
  const std::string backup = kDir + "2026年12月13日02时00分.bak";
  ASSERT_TRUE(r.logged("数据库备份成功!  [文件名:" + backup + "]"));
  const std::vector<Post> posts = r.http.all();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].url, kAddress + "/start");
  EXPECT_EQ(posts[1].url, kAddress);
  EXPECT_EQ(posts[1].body, "");
  EXPECT_THAT(r.events.all(), ElementsAre(Recorded{EventId::BackupSucceeded, {"shop", backup}}));
}

// Each way a backup can fail is one event of its own ID and one "/fail" ping
// whose body holds the backup's lines, the cause last.
TEST(Notifier, AFailedBackupPingsFailWithItsLinesAndIsOneEventOfItsKind) {
  const std::string backup = kDir + "2026年12月13日02时00分.bak";
  struct Case {
    const char* name;
    std::function<void(Rig&)> script;
    EventId id;
    std::string words;  // the event's second string
  };
  const Case cases[] = {
      {"ServerRefuses", [](Rig& r) { r.session.failExecute = true; }, EventId::BackupFailed, ""},
      {"NoConnection", [](Rig& r) { r.session.failOpen = true; }, EventId::BackupFailed, ""},
      {"VerificationFails",
       [](Rig& r) {
         r.session.onExecute = [&r](const std::string& statement) {
           if (StartsWith(statement, "RESTORE VERIFYONLY"))
             throw ServerError("verify", {{"42000", 3189, "Damage to the backup set was detected."}});
           if (StartsWith(statement, "BACKUP DATABASE "))
             r.files.add(kDir + "2026年12月13日02时00分.bak", "a backup", r.clock.now());
         };
       },
       EventId::VerificationFailed, ""},
      {"Cancelled",
       [](Rig& r) {
         r.session.runUntilCancelled = true;
         r.session.onExecute = [&r](const std::string&) { r.runtime.post([&r] { r.runtime.cancelBackup(); }); };
       },
       EventId::BackupCancelled, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    c.script(r);
    r.arm(kAddress);
    r.runtime.tick();
    r.settle();
    const std::vector<Post> posts = r.http.all();
    ASSERT_EQ(posts.size(), 2u) << ::testing::PrintToString(r.http.urls());
    EXPECT_EQ(posts[0].url, kAddress + "/start");
    EXPECT_EQ(posts[1].url, kAddress + "/fail");
    EXPECT_THAT(posts[1].body, HasSubstr("2026-12-13 02:00:05 开始备份数据库...\n"));
    const std::vector<Recorded> events = r.events.all();
    ASSERT_EQ(events.size(), 1u) << ::testing::PrintToString(events);
    EXPECT_EQ(events[0].id, c.id);
    EXPECT_EQ(events[0].strings.front(), "shop");
    EXPECT_EQ(events[0].strings.back(), backup);
    // The last line logged for the backup ends the body, and names the cause.
    const std::string last = r.lines.back();
    EXPECT_TRUE(posts[1].body.ends_with(last + "\n")) << posts[1].body;
    if (c.id == EventId::BackupFailed) {
      EXPECT_TRUE(StartsWith(last, "原因: ")) << last;
      EXPECT_EQ(events[0].strings[1], last.substr(std::string("原因: ").size())) << "without the lead-in";
    }
    if (c.id == EventId::VerificationFailed)
      EXPECT_THAT(events[0].strings[1], HasSubstr("Damage to the backup set was detected."));
    EXPECT_FALSE(r.logged("数据库备份成功!  [文件名:" + backup + "]"));
  }
}

// A restore from the restore window is one event of its outcome, naming the
// database, the backup and the safety backup; the ping addresses expect the
// backups' and the tests' schedules only, and hear nothing of it.
TEST(Notifier, ARestoreFromTheWindowIsOneEventOfItsOutcomeAndNoPing) {
  const std::string backup = kDir + "2026年12月13日02时00分.bak";
  const std::string safety = kDir + "2026年12月13日03时00分恢复前.bak";
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "failed" : "succeeded");
    Rig r;
    r.clock.set(3, 0);  // after the day's backup time: no backup of its own
    r.arm(kAddress);
    r.session.failExecute = fails;
    RestorePlan plan;
    plan.target = RestorePlan::Target::current;
    plan.database = "shop";
    plan.from.path = backup;
    plan.safetyBackup = safety;
    plan.statements = {"BACKUP DATABASE [shop] TO  DISK = N'" + safety + "', COPY_ONLY",
                       "ALTER DATABASE [shop] SET SINGLE_USER WITH ROLLBACK IMMEDIATE",
                       "RESTORE DATABASE [shop] FROM DISK = N'" + backup + "' WITH FILE = 1, REPLACE",
                       "ALTER DATABASE [shop] SET MULTI_USER"};
    ASSERT_TRUE(r.runtime.restoreDatabase(plan));
    r.settle();
    const std::vector<Recorded> events = r.events.all();
    ASSERT_EQ(events.size(), 1u);
    if (fails) {
      EXPECT_EQ(events[0].id, EventId::DatabaseRestoreFailed);
      ASSERT_EQ(events[0].strings.size(), 4u);
      EXPECT_EQ(events[0].strings[0], "shop");
      EXPECT_EQ(events[0].strings[1], backup);
      EXPECT_THAT(events[0].strings[2], HasSubstr("BACKUP DATABASE is terminating abnormally."));
      EXPECT_FALSE(StartsWith(events[0].strings[2], "原因: ")) << "without the lead-in";
      EXPECT_EQ(events[0].strings[3], "") << "the safety backup itself failed: there is none";
    } else {
      ASSERT_EQ(events[0].id, EventId::DatabaseRestored);
      EXPECT_EQ(events[0].strings, (std::vector<std::string>{"shop", backup, "0秒", safety}));
    }
    EXPECT_THAT(r.http.urls(), IsEmpty());
  }
}

TEST(Notifier, WithoutAnAddressNothingIsSentAndTheEventsStillAreReported) {
  Rig r;
  r.arm("");
  r.runtime.tick();
  r.settle();
  EXPECT_THAT(r.http.urls(), IsEmpty());
  EXPECT_EQ(r.events.all().size(), 1u);
}

// The restore test's result goes to its own address, never to the backups'.
TEST(Notifier, TheRestoreTestsResultGoesToItsOwnAddressOnce) {
  {
    Rig r;
    r.arm(kAddress, kTestAddress, RestoreTestPlan::Every::week);
    r.runtime.tick();  // 02:00 on a Sunday: the backup, then the test
    ASSERT_TRUE(r.tickUntil([&] {
      return !r.runtime.backupRunning() && std::any_of(r.lines.begin(), r.lines.end(), [](const std::string& l) {
               return StartsWith(l, "恢复测试成功: ");
             });
    }));
    r.settle();
    EXPECT_THAT(r.http.urls(), ElementsAre(kAddress + "/start", kAddress, kTestAddress));
    const std::vector<Recorded> events = r.events.all();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], (Recorded{EventId::RestoreTestPassed, {"shop", kDir + "2026年12月13日02时00分.bak", "0秒"}}));
  }
  {
    // No verified backup to test: not run, which proves nothing.
    Rig r;
    r.clock.set(3, 0);  // after the day's backup time
    r.arm(kAddress, kTestAddress);
    ASSERT_TRUE(r.runtime.restoreTestNow());
    r.settle();
    EXPECT_THAT(r.http.urls(), ElementsAre("https://alerts.example.org/in/abc/fail?key=s3cret"));
    const std::vector<Recorded> events = r.events.all();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, EventId::RestoreTestNotRun);
    EXPECT_EQ(r.http.all()[0].body, "恢复测试未运行: " + events[0].strings[1]);
  }
}

// An address that cannot be reached is tried three times, then logged once
// (by its host: the rest may be a secret) and reported once, however many
// pings fail within the hour.
TEST(Notifier, AnUnreachableAddressIsToldOnceByItsHostOnly) {
  Rig r;
  r.http.answer = [](const std::string&) { return HttpAnswer{false, 0, "无法连接到服务器"}; };
  r.arm(kAddress);
  r.runtime.tick();
  r.settle();
  r.clock.set(2, 1);
  ASSERT_TRUE(r.runtime.backupNow());
  r.settle();
  EXPECT_EQ(r.http.urls().size(), 12u) << "two backups, two pings each, three tries each";
  EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), "无法发送通知到 hc.example.net: 无法连接到服务器"), 1);
  for (const std::string& line : r.lines) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
  std::vector<Recorded> pings;
  for (const Recorded& e : r.events.all())
    if (e.id == EventId::PingFailed) pings.push_back(e);
  EXPECT_THAT(pings, ElementsAre(Recorded{EventId::PingFailed, {"hc.example.net", "无法连接到服务器"}}));
  EXPECT_TRUE(r.logged("数据库备份成功!  [文件名:" + kDir + "2026年12月13日02时01分.bak]"))
      << "the pings change nothing of the backups";
}

// Warnings that are no backup's outcome: overdue, copies that failed, stored
// settings that could not be read.
TEST(Notifier, WarningsAreReportedAsTheirOwnEvents) {
  Rig r;
  r.arm("");
  // A second folder that cannot be written: the copies fail after the backup.
  Schedule schedule = r.runtime.schedule();
  schedule.settings.replicaDir = "\\\\nas\\gone\\";
  r.files.folders.insert("\\\\nas\\gone\\");
  r.files.readOnly.insert("\\\\nas\\gone\\");
  r.runtime.arm(schedule);
  r.runtime.tick();
  r.settle();
  // Nothing has succeeded for more than a day since.
  r.session.failOpen = true;
  r.clock.set(LocalDateTime{2026, 12, 15, 3, 1, 0, 0});
  r.runtime.tick();
  r.settle();
  // A stored value that cannot be read.
  r.runtime.logSettingsProblems({"无法读取存储的设置: mavSpinEdit1 \"x\",已忽略"});

  std::vector<EventId> ids;
  for (const Recorded& e : r.events.all()) ids.push_back(e.id);
  EXPECT_THAT(ids, ::testing::IsSupersetOf({EventId::CopyFailed, EventId::BackupOverdue, EventId::SettingsUnreadable}));
  for (const Recorded& e : r.events.all()) {
    if (e.id == EventId::CopyFailed) {
      EXPECT_EQ(e.strings[0], "\\\\nas\\gone\\");
      EXPECT_THAT(e.strings[1], HasSubstr("备份复制失败"));
    }
    if (e.id == EventId::BackupOverdue) EXPECT_THAT(e.strings[0], HasSubstr("警告: 已超过一天没有成功的备份"));
    if (e.id == EventId::SettingsUnreadable)
      EXPECT_EQ(e.strings, std::vector<std::string>{"无法读取存储的设置: mavSpinEdit1 \"x\",已忽略"});
  }
}

// The daily health checks, ten minutes after the day's first backup time, as the program
// and the service wire them (Backups): a problem is logged and reported each
// time it is found, its balloon shown once a day; gone, it is logged once as
// resolved; a check the server refuses is said once.
TEST(RuntimeHealth, FoundOnceADayAfterTheFirstBackupAndResolvedWhenGone) {
  Rig r;
  struct Balloons final : form::ControlView {
    void showBalloon(const std::string& title, const std::string& text) override { shown.push_back(title + "|" + text); }
    std::vector<std::string> shown;
  } balloons;
  r.tray.attach(&balloons);
  std::string recovery = "FULL";
  bool refuseFiles = false;
  r.session.onQuery = [&](const std::string& statement) {
    if (StartsWith(statement, "SELECT recovery_model_desc"))
      return QueryResult{{"recovery_model_desc", "log_reuse_wait_desc"},
                         {{recovery, recovery == "FULL" ? "LOG_BACKUP" : "NOTHING"}}};
    if (StartsWith(statement, "DBCC SQLPERF"))
      return QueryResult{{"Database Name", "Log Size (MB)", "Log Space Used (%)", "Status"}, {{"shop", "512", "87.5", "0"}}};
    if (StartsWith(statement, "SELECT type_desc")) {
      if (refuseFiles) throw ServerError("denied", {{"42000", 229, "The SELECT permission was denied."}});
      return QueryResult{{"type_desc", "physical_name", "size"}, {{"ROWS", "E:\\data\\shop.mdf", "1280"}}};
    }
    if (StartsWith(statement, "SELECT CAST(SERVERPROPERTY"))
      return QueryResult{{"EngineEdition", "ProductVersion"}, {{"2", "16.0.1000.6"}}};
    return r.session.headers(statement);
  };
  r.runtime.setHealthCheck([&] { return RunHealthChecks(r.backups.settings, r.session, r.files); });
  r.arm("");
  const auto problems = [&] {
    size_t n = 0;
    for (const Recorded& e : r.events.all()) n += e.id == EventId::HealthProblem;
    return n;
  };
  const auto logLines = [&] {
    return std::count_if(r.lines.begin(), r.lines.end(), [](const std::string& l) { return StartsWith(l, "警告: 数据库 shop 为完整恢复模式"); });
  };
  r.runtime.tick();  // 02:00: the slot's backup
  r.settle();
  r.clock.set(2, 9);  // not yet: they keep out of the minutes after the backup
  r.runtime.tick();
  r.settle();
  EXPECT_EQ(logLines(), 0);
  r.clock.set(2, 10);  // ten minutes after the first backup time
  r.runtime.tick();
  r.settle();
  ASSERT_EQ(logLines(), 1) << ::testing::PrintToString(r.lines);
  EXPECT_EQ(problems(), 1u);
  EXPECT_EQ(balloons.shown.size(), 1u);
  EXPECT_THAT(balloons.shown.back(), HasSubstr("512.0 MB"));

  // Not again that day; the next day found again, and its balloon shown again.
  r.clock.set(14, 30);
  r.runtime.tick();
  r.settle();
  EXPECT_EQ(logLines(), 1);
  r.clock.set(LocalDateTime{2026, 12, 14, 2, 10, 0, 0});
  r.runtime.tick();  // 02:10 of the next day: its slot has passed unrun, the checks run
  r.settle();
  EXPECT_EQ(logLines(), 2) << ::testing::PrintToString(r.lines);
  EXPECT_EQ(balloons.shown.size(), 2u);

  // The day after, the server refuses one query: said once, and nothing is resolved on its word.
  refuseFiles = true;
  recovery = "SIMPLE";
  r.clock.set(LocalDateTime{2026, 12, 15, 2, 11, 0, 0});  // the checks look once a minute
  r.runtime.tick();
  r.settle();
  EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(), [](const std::string& l) { return StartsWith(l, "无法检查"); }), 1);
  EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(), [](const std::string& l) { return StartsWith(l, "已解决"); }), 0);
  // And when every check is made again, the log's problem is gone: resolved, once.
  refuseFiles = false;
  r.clock.set(LocalDateTime{2026, 12, 16, 2, 12, 0, 0});
  r.runtime.tick();
  r.settle();
  r.clock.set(LocalDateTime{2026, 12, 17, 2, 13, 0, 0});
  r.runtime.tick();
  r.settle();
  EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(), [](const std::string& l) { return StartsWith(l, "已解决"); }), 1)
      << ::testing::PrintToString(r.lines);
  std::vector<EventId> ids;
  for (const Recorded& e : r.events.all()) ids.push_back(e.id);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), EventId::HealthResolved), 1);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), EventId::HealthNotChecked), 1);
  r.tray.attach(nullptr);
}

}  // namespace
}  // namespace bakwyn::app
