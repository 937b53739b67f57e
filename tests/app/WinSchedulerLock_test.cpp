// The lock that keeps one scheduler on the computer, with real mutexes in the
// prefix: a second holder gets it only once the first lets go; a holder whose
// process was killed leaves it abandoned to the next; the access list it is
// made with, read back; a mutex someone else made first is reported squatted,
// and still taken once free.
//
// Wine keeps an object's owner and list as given and reads them back, but
// checks neither who may name an owner nor who may open the object: the
// fallback for a program without administrator rights (which may not name
// Administrators as owner) and the opening with SYNCHRONIZE alone when the
// list refuses more are left to real Windows.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/SchedulerLock.h"
#include "base/WinHandles.h"
#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using app::SchedulerLock;

// How long a test waits for what must happen before it calls it a failure.
constexpr DWORD kPatience = 20000;

// "<this test> --hold-scheduler-lock NAME EVENT PARENT": the child process of
// the abandoned case. It takes the lock, says so by setting the named event,
// and holds it until it is killed (or its parent is gone).
[[maybe_unused]] const bool kIsChild = [] {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args && count == 5 && std::wstring(args[1]) == L"--hold-scheduler-lock") {
    const HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, args[3]);
    const HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(args[4], nullptr, 10)));
    const SchedulerLock lock([held] { SetEvent(held); }, args[2]);
    WaitForSingleObject(parent, INFINITE);
    ExitProcess(0);
  }
  if (args) LocalFree(args);
  return false;
}();

std::wstring Pid() { return std::to_wstring(GetCurrentProcessId()); }

// A name of the case's own: the program's lock belongs to whatever else runs
// in the lane, and each case starts from no mutex at all.
std::wstring LockName(const std::string& what) { return L"Global\\Bakwyn.Test." + Pid() + L"." + exe::Wide(what); }

std::wstring ThisExe() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// What onAcquired did: how often it ran, and an event to wait for it.
struct Acquired {
  UniqueKernelHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> count{0};
  std::function<void()> callback() {
    return [this] {
      ++count;
      SetEvent(event.get());
    };
  }
  bool within(DWORD ms) const { return WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0; }
};

// The owner and access list of the mutex `name`, as SDDL.
std::wstring ReadBack(const std::wstring& name) {
  const UniqueKernelHandle mutex(OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
  if (!mutex) return L"(cannot open: " + std::to_wstring(GetLastError()) + L")";
  UniqueAny<LocalMemoryTraits<PSECURITY_DESCRIPTOR>> descriptor;
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (const DWORD error =
          GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, what, nullptr, nullptr, nullptr, nullptr, descriptor.put()))
    return L"(cannot read: " + std::to_wstring(error) + L")";
  UniqueAny<LocalMemoryTraits<wchar_t*>> text;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1, what, text.put(),
                                                            nullptr))
    return L"(cannot convert)";
  return text.get();
}

// Another process of this user, a crash, or the service: each holds the lock
// on a thread of its own, here two in one process.
TEST(SchedulerLock, ASecondHolderGetsItOnlyOnceTheFirstLetsGo) {
  const std::wstring name = LockName("two");
  Acquired firstGot, secondGot, gaveUpGot;
  auto first = std::make_unique<SchedulerLock>(firstGot.callback(), name);
  EXPECT_TRUE(first->held());
  EXPECT_EQ(firstGot.count, 1) << "a free lock is taken, and told, before the constructor returns";
  EXPECT_FALSE(first->squatted()) << first->squatter();
  EXPECT_FALSE(first->abandoned());

  // One that gives up waiting ends at once and is never told.
  {
    const SchedulerLock gaveUp(gaveUpGot.callback(), name);
    EXPECT_FALSE(gaveUp.held());
  }
  EXPECT_EQ(gaveUpGot.count, 0);

  auto second = std::make_unique<SchedulerLock>(secondGot.callback(), name);
  EXPECT_FALSE(second->held());
  EXPECT_FALSE(second->squatted()) << "made by an administrator (this test, under Wine): " << second->squatter();
  EXPECT_EQ(secondGot.count, 0);
  EXPECT_TRUE(first->held());

  first.reset();
  ASSERT_TRUE(secondGot.within(kPatience)) << "taken once the first let go";
  EXPECT_TRUE(second->held());
  EXPECT_FALSE(second->abandoned()) << "let go, not left";
  EXPECT_EQ(secondGot.count, 1);
  EXPECT_EQ(gaveUpGot.count, 0) << "one that gave up is not told later";

  // And the next once the second lets go: released by the thread that took it.
  Acquired thirdGot;
  const SchedulerLock third(thirdGot.callback(), name);
  EXPECT_FALSE(third.held());
  second.reset();
  ASSERT_TRUE(thirdGot.within(kPatience));
  EXPECT_TRUE(third.held());
  EXPECT_FALSE(third.abandoned());
}

// A program killed while it scheduled (perhaps in the middle of a backup):
// the system hands the lock to the next one waiting, which is told it was left.
// The program's lock has no thread of its own: its window's thread waits on
// the mutex beside its messages, takes it, and lets it go again.
TEST(SchedulerLock, OneWaitedOnByItsOwnThreadTakesItWhenLetGoAndLetsItGo) {
  const std::wstring name = LockName("caller");
  Acquired firstGot;
  auto first = std::make_unique<SchedulerLock>(firstGot.callback(), name);
  ASSERT_TRUE(first->held());

  std::optional<SchedulerLock> mine;
  mine.emplace(SchedulerLock::OnCallersThread{}, name);
  EXPECT_FALSE(mine->held());
  ASSERT_NE(mine->waitable(), nullptr);
  HANDLE waitable = mine->waitable();
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &waitable, 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE), WAIT_TIMEOUT)
      << "held by the other";
  first.reset();
  const DWORD woke = MsgWaitForMultipleObjectsEx(1, &waitable, 10000, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  ASSERT_TRUE(woke == WAIT_OBJECT_0 || woke == WAIT_ABANDONED_0) << woke;
  mine->taken(woke == WAIT_ABANDONED_0);
  EXPECT_TRUE(mine->held());
  EXPECT_FALSE(mine->abandoned()) << "let go, not left";
  EXPECT_EQ(mine->waitable(), nullptr) << "nothing more to wait for";

  // While it holds it, another waits; once it is destroyed (on this thread), the other has it.
  Acquired nextGot;
  const SchedulerLock next(nextGot.callback(), name);
  EXPECT_FALSE(next.held());
  {
    const SchedulerLock free{SchedulerLock::OnCallersThread{}, LockName("free")};
    EXPECT_TRUE(free.held()) << "a free lock is taken before the constructor returns";
  }
  mine.reset();
  ASSERT_TRUE(nextGot.within(kPatience)) << "let go by the thread that took it";
  EXPECT_FALSE(next.abandoned());
}

TEST(SchedulerLock, AHolderWhoseProcessWasKilledLeavesItAbandonedToTheNext) {
  const std::wstring name = LockName("killed");
  const std::wstring heldName = L"Bakwyn.Test.ChildHolds." + Pid();
  const UniqueKernelHandle childHolds(CreateEventW(nullptr, TRUE, FALSE, heldName.c_str()));
  ASSERT_TRUE(childHolds);
  exe::Process child;
  ASSERT_TRUE(child.start(ThisExe(), L"--hold-scheduler-lock " + name + L" " + heldName + L" " + Pid()));
  ASSERT_EQ(WaitForSingleObject(childHolds.get(), kPatience), static_cast<DWORD>(WAIT_OBJECT_0));

  Acquired got;
  const SchedulerLock lock(got.callback(), name);
  EXPECT_FALSE(lock.held()) << "the child holds it";
  EXPECT_FALSE(lock.squatted()) << lock.squatter();
  ASSERT_TRUE(TerminateProcess(child.pi.hProcess, 1));
  ASSERT_TRUE(got.within(kPatience)) << "taken once the holder's process ended";
  EXPECT_TRUE(lock.held());
  EXPECT_TRUE(lock.abandoned());
  EXPECT_EQ(got.count, 1);
}

TEST(SchedulerLock, IsMadeWithAnAccessListThatLetsUsersOnlyWaitForIt) {
  const std::wstring name = LockName("list");
  const SchedulerLock lock(nullptr, name);
  ASSERT_TRUE(lock.held());
  // Administrators own it; the system and administrators may do anything,
  // interactive and authenticated users only SYNCHRONIZE (0x100000).
  EXPECT_EQ(exe::Utf8(ReadBack(name)),
            "O:BAD:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x100000;;;IU)(A;;0x100000;;;AU)");
}

// Any user can make the name first, to stop every backup of the computer by
// holding it. Whoever made it is told by its owner: only the system and
// administrators can make one owned by themselves. (Wine lets this test name
// any owner.) A squatted lock is still taken when it is free.
TEST(SchedulerLock, OneMadeFirstBySomeoneElseIsSquatted) {
  struct Row {
    const char* name;
    const wchar_t* sddl;
    std::string squatter;  // empty: trusted
  };
  const Row rows[] = {
      {"owned_by_the_system", L"O:SYD:(A;;0x1f0001;;;WD)", ""},
      {"owned_by_administrators", L"O:BAD:(A;;0x1f0001;;;WD)", ""},
      {"owned_by_a_user", L"O:S-1-5-21-1-2-3-1001D:(A;;0x1f0001;;;WD)", "所有者 S-1-5-21-1-2-3-1001 不是系统或管理员"},
      {"owned_by_users", L"O:BUD:(A;;0x1f0001;;;WD)", "所有者 BUILTIN\\Users (S-1-5-32-545) 不是系统或管理员"},
      {"owned_by_everyone", L"O:WDD:(A;;0x1f0001;;;WD)", "所有者 Everyone (S-1-1-0) 不是系统或管理员"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::wstring name = LockName(row.name);
    UniqueAny<LocalMemoryTraits<PSECURITY_DESCRIPTOR>> descriptor;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1, descriptor.put(), nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const UniqueKernelHandle first(CreateMutexExW(&attributes, name.c_str(), 0, MUTEX_ALL_ACCESS));
    ASSERT_TRUE(first);
    Acquired got;
    const SchedulerLock lock(got.callback(), name);
    EXPECT_EQ(lock.squatted(), !row.squatter.empty());
    EXPECT_EQ(lock.squatter(), row.squatter);
    EXPECT_TRUE(lock.held()) << "nobody holds it";
    EXPECT_EQ(got.count, 1);
  }
}

// The squatter holds it: the service does not wait for it (it schedules and
// says why), but the lock's thread does, and takes it once it is let go.
TEST(SchedulerLock, ASquattedLockHeldBySomeoneElseIsTakenOnceLetGo) {
  const std::wstring name = LockName("held");
  UniqueAny<LocalMemoryTraits<PSECURITY_DESCRIPTOR>> descriptor;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:S-1-5-21-1-2-3-1001D:(A;;0x1f0001;;;WD)",
                                                                   SDDL_REVISION_1, descriptor.put(), nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  // Owned by this thread from the start.
  const UniqueKernelHandle squatter(
      CreateMutexExW(&attributes, name.c_str(), CREATE_MUTEX_INITIAL_OWNER, MUTEX_ALL_ACCESS));
  ASSERT_TRUE(squatter);

  Acquired got;
  const SchedulerLock lock(got.callback(), name);
  EXPECT_TRUE(lock.squatted());
  EXPECT_FALSE(lock.held());
  EXPECT_EQ(got.count, 0);
  ASSERT_TRUE(ReleaseMutex(squatter.get()));
  ASSERT_TRUE(got.within(kPatience));
  EXPECT_TRUE(lock.held());
  EXPECT_FALSE(lock.abandoned());
}

// The name taken by an object of another kind: there is no mutex to wait for,
// and nothing is ever acquired; the service schedules anyway.
TEST(SchedulerLock, ANameTakenByAnotherKindOfObjectIsSquattedAndNeverHeld) {
  const std::wstring name = LockName("event");
  const UniqueKernelHandle event(CreateEventW(nullptr, TRUE, TRUE, name.c_str()));
  ASSERT_TRUE(event);
  Acquired got;
  {
    const SchedulerLock lock(got.callback(), name);
    EXPECT_TRUE(lock.squatted());
    EXPECT_EQ(lock.squatter(), "这个名称被另一种对象占用");
    EXPECT_FALSE(lock.held());
  }
  EXPECT_EQ(got.count, 0);
}

}  // namespace
}  // namespace bakwyn
