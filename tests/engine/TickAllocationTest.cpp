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
#include "engine/Replica.h"
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
  EXPECT_EQ(session.statements.size(), 1u);
}

// The tick also polls the copies to the second folder: idle, before any pass
// and after one has ended, that must not allocate either.
TEST(TickAllocationTest, PollingAnIdleReplicaDoesNotAllocate) {
  MemoryFiles files;
  FakeClock clock;
  Replica replica(files, clock);
  LogLines log;
  const LogSink sink = log.sink();
  const auto pollsAllocate = [&] {
    const long before = g_allocations;
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(replica.poll(sink));
    return g_allocations - before;
  };
  EXPECT_EQ(pollsAllocate(), 0) << "never started";

  // A pass with no second folder ends at once, without a line.
  replica.start(ReplicaRequest{"D:\\bak\\", "", "", false, 0});
  for (int i = 0; i < 3000 && replica.poll(sink); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(replica.poll(sink));
  EXPECT_EQ(pollsAllocate(), 0) << "after a pass";
  EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace bakwyn
