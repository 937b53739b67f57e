#pragma once
// One scheduler per computer: whoever makes the backups (the service, or one
// program in a user's session) holds the mutex Global\Bakwyn.Scheduler for as
// long as it schedules. The others wait on it: no timer, no question to the
// service manager; the system wakes the next one when the holder lets go, or
// when its process dies.
//
// A named object is a boundary for the system account: any user can create
// the name first. The system's or an administrator's lock is made with an
// access list that gives others only SYNCHRONIZE (enough to wait on it and
// hold it, not to change it); one made by anybody else is "squatted", and the
// service must not wait on it for ever, or one user's program could stop every
// backup of the computer. It schedules anyway and says so.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "base/WinHandles.h"

namespace bakwyn::app {

inline constexpr wchar_t kSchedulerLockName[] = L"Global\\Bakwyn.Scheduler";

class SchedulerLock {
 public:
  // Creates the mutex `name`, or opens the one that exists, and starts the
  // thread that waits for it. When the mutex is free, it is taken, and
  // onAcquired has run, before the constructor returns; otherwise it runs on
  // that thread once the holder lets go or its process ends. It runs once at
  // most, on the lock's own thread: it must not wait for the thread that owns
  // this object (post a message, set an event). The lock is held until this
  // object is destroyed. A squatted mutex is waited on all the same (held()
  // may turn true later), unless it cannot be waited on at all.
  explicit SchedulerLock(std::function<void()> onAcquired, const std::wstring& name = kSchedulerLockName);
  // The same lock without a thread of its own, for a thread that waits in a
  // loop anyway (a window's message loop): a free lock is taken before the
  // constructor returns; otherwise the caller waits on waitable() with its
  // other handles and, when the wait returns it (WAIT_OBJECT_0 or
  // WAIT_ABANDONED_0 for it), calls taken(). The lock then belongs to that
  // thread, which must destroy this object.
  struct OnCallersThread {};
  SchedulerLock(OnCallersThread, const std::wstring& name = kSchedulerLockName);
  // The mutex to wait on while the lock is not held; null when held or when
  // there is nothing to wait on.
  HANDLE waitable() const { return held() || !mutex_ ? nullptr : mutex_.get(); }
  // The caller's wait on waitable() returned it: the lock is held now.
  void taken(bool abandoned) {
    abandoned_.store(abandoned, std::memory_order_release);
    held_.store(true, std::memory_order_release);
  }
  // Lets go of the lock, from the thread that took it (a mutex belongs to a
  // thread), and ends that thread.
  ~SchedulerLock();
  SchedulerLock(const SchedulerLock&) = delete;
  SchedulerLock& operator=(const SchedulerLock&) = delete;

  // Whether this object holds the lock now.
  bool held() const { return held_.load(std::memory_order_acquire); }
  // Taken from a holder whose process ended without letting go (killed,
  // crashed): whatever it was doing was left unfinished. Meaningful once held().
  bool abandoned() const { return abandoned_.load(std::memory_order_acquire); }
  // The mutex was not made by the system or an administrator: its owner is
  // anyone else or none, or it could not even be read although our own access
  // list would let this caller read it; or the name is taken by an object of
  // another kind, or one this caller may not wait on. Decided when the object
  // is made; never changes.
  bool squatted() const { return !squatter_.empty(); }
  // Why it counts as squatted, for the log ("所有者 ... 不是系统或管理员");
  // empty when it does not.
  const std::string& squatter() const { return squatter_; }

 private:
  void hold();
  void open(const std::wstring& name);

  std::function<void()> onAcquired_;
  UniqueKernelHandle mutex_;
  UniqueKernelHandle quit_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueKernelHandle tried_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::string squatter_;
  std::atomic<bool> held_{false};
  std::atomic<bool> abandoned_{false};
  std::thread thread_;  // last: it starts once everything above is there
};

}  // namespace bakwyn::app
