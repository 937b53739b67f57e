// The timer tick runs ten times a second for the life of the program: when no
// backup is due it must not touch the heap. Every allocation in this test
// program is counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <chrono>
#include <thread>

#include "engine/BackupEngine.h"
#include "app/Runtime.h"
#include "settings/MemoryRegistry.h"
#include "tests/support/EngineFakes.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace bakwyn {
namespace {

// The BACKUP statements sent: a verified backup's own statements (read back
// by the server) follow each.
size_t BackupsSent(const testing::FakeSession& session) {
  size_t backups = 0;
  for (const std::string& sql : session.statements) backups += sql.rfind("BACKUP DATABASE ", 0) == 0 ? 1 : 0;
  return backups;
}

using testing::At;
using testing::FakeClock;
using testing::MemoryFiles;
using testing::FakeSession;
using testing::LogLines;

TEST(TickAllocationTest, TicksThatRunNothingDoNotAllocate) {
  BackupSettings settings;
  settings.slots = {SlotState{true, "02:00", ""}, SlotState{true, "08:30", "20260309"}, SlotState{false, "10:17", ""},
                    SlotState{true, "a much longer malformed slot time", ""}};
  FakeClock clock;
  FakeSession session;
  MemoryFiles files;
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  // Idle minutes, a disabled slot's minute, and the minute of a slot that already ran today.
  const LocalDateTime moments[] = {At(2026, 3, 9, 10, 17), At(2026, 3, 9, 23, 59, 59, 900), At(2026, 3, 9, 8, 30, 5)};
  for (const LocalDateTime& t : moments) {
    clock.set(t);
    engine.Timer1Timer();  // settle anything the first call might set up
    const long before = g_allocations;
    for (int i = 0; i < 1000; ++i) engine.Timer1Timer();
    EXPECT_EQ(g_allocations - before, 0) << testing::Show(t);
  }
  EXPECT_TRUE(session.calls.empty());

  // The counter does see allocations: a due slot runs a backup, which does allocate.
  clock.set(At(2026, 3, 9, 2, 0));
  const long before = g_allocations;
  engine.Timer1Timer();
  EXPECT_GT(g_allocations - before, 0);
  EXPECT_EQ(BackupsSent(session), 1u);
}

// The program's tick is the runtime's: it also looks into the box of what a
// backup on the worker told, and at the overdue warning. Idle, before any
// backup and after one has ended, that must not allocate either.
TEST(TickAllocationTest, TheRuntimesIdleTickDoesNotAllocate) {
  BackupSettings settings;
  FakeClock clock(At(2026, 3, 9, 1, 0));
  FakeSession session;
  MemoryFiles files;
  settings::MemoryRegistry registry;
  MemoryFiles historyFiles;  // written on this thread while the worker uses `files`
  History history(historyFiles, "C:\\ProgramData\\Bakwyn\\Bakwyn.log");
  app::ThreadWorker worker;
  app::Runtime* runtime = nullptr;
  BackupEngine engine(settings, clock, session, files, [&](const std::string& line) { runtime->log(line); });
  RestoreTest restore(settings, clock, session, files, [&](const std::string& line) { runtime->log(line); });
  app::Runtime r(settings, engine, restore, registry, nullptr, clock, history, files, worker, nullptr,
                 [] { return std::string("OFFICE1"); });
  runtime = &r;
  app::Schedule schedule;
  schedule.settings.database = "shop";
  schedule.settings.backupDir = "D:\\bak\\";
  schedule.settings.slots[0] = {true, "02:00", {}};
  r.arm(schedule);
  const auto ticksAllocate = [&] {
    r.tick();  // a minute's first tick looks at the overdue warning once
    const long before = g_allocations;
    for (int i = 0; i < 1000; ++i) r.tick();
    return g_allocations - before;
  };
  EXPECT_EQ(ticksAllocate(), 0) << "before any backup";

  clock.set(At(2026, 3, 9, 2, 0));
  r.tick();  // the slot's backup starts on the worker
  for (int i = 0; i < 3000 && r.backupRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  r.tick();  // what it told is taken out of the box
  ASSERT_FALSE(r.backupRunning());
  EXPECT_EQ(BackupsSent(session), 1u);
  EXPECT_EQ(ticksAllocate(), 0) << "after a backup";
}

}  // namespace
}  // namespace bakwyn
