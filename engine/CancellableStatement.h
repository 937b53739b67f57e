#pragma once
// A long statement that another thread may stop: the restore test's and a
// restore's. The server is asked through the session to cancel it once a stop
// is requested, and again at every interval, since a cancel that reached the
// session while the statement was still being sent found nothing to cancel
// yet. The statement has ended, and the watching thread with it, before this
// returns: what follows (a drop, MULTI_USER) is never cancelled.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "server/ServerSession.h"

namespace bakwyn {

// `running` and `stop` belong to the caller, guarded by `mutex`; whoever sets
// `stop` notifies `wake`.
inline void RunCancellable(ServerSession& session, std::mutex& mutex, std::condition_variable& wake, bool& running,
                           const bool& stop, std::chrono::milliseconds interval,
                           const std::function<void()>& statement) {
  {
    std::lock_guard lock(mutex);
    running = true;
  }
  std::thread watcher([&] {
    std::unique_lock lock(mutex);
    while (running) {
      if (!stop) {
        wake.wait(lock, [&] { return stop || !running; });
        continue;
      }
      lock.unlock();
      session.cancel();  // outside the lock: the session may wait for the server
      lock.lock();
      wake.wait_for(lock, interval, [&] { return !running; });
    }
  });
  struct Ending {
    std::mutex& mutex;
    std::condition_variable& wake;
    bool& running;
    std::thread& watcher;
    ~Ending() {
      {
        std::lock_guard lock(mutex);
        running = false;
      }
      wake.notify_all();
      watcher.join();
    }
  } ending{mutex, wake, running, watcher};
  statement();
}

}  // namespace bakwyn
