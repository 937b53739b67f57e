#pragma once
// Where the backups run: one job at a time, off the thread that owns the
// runtime (the window's, or the service's), so that the window, the tray and
// the service's controls never wait for a backup. What a job has to tell
// comes back as closures posted to the owning thread, which runs them when it
// next drains the box: nothing a job touches is shared while it runs.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bakwyn::app {

// Closures for the owning thread, posted from any thread.
class PostBox {
 public:
  void post(std::function<void()> closure) {
    const std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(closure));
    waiting_.store(true, std::memory_order_release);
  }
  // Runs what was posted, in order, on the calling thread. Does not lock or
  // allocate when nothing was posted, so that the 100 ms tick may call it.
  void drain() {
    if (!waiting_.load(std::memory_order_acquire)) return;
    std::vector<std::function<void()>> now;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      now.swap(posted_);
      waiting_.store(false, std::memory_order_relaxed);
    }
    for (auto& closure : now) closure();
  }

 private:
  std::mutex mutex_;
  std::vector<std::function<void()>> posted_;
  std::atomic<bool> waiting_{false};
};

class Worker {
 public:
  virtual ~Worker() = default;
  // Runs `job`; only while not busy(). busy() is true from the call until the
  // job has returned, and whatever the job posted before returning is in the
  // box by the time busy() turns false.
  virtual void start(std::function<void()> job) = 0;
  virtual bool busy() const = 0;
};

// The job on a thread of its own, one at a time.
class ThreadWorker final : public Worker {
 public:
  ThreadWorker() = default;
  // Waits for a job under way.
  ~ThreadWorker() override {
    if (thread_.joinable()) thread_.join();
  }
  ThreadWorker(const ThreadWorker&) = delete;
  ThreadWorker& operator=(const ThreadWorker&) = delete;

  void start(std::function<void()> job) override {
    if (thread_.joinable()) thread_.join();  // ended already: busy() was false
    busy_.store(true, std::memory_order_release);
    thread_ = std::thread([this, job = std::move(job)] {
      job();
      busy_.store(false, std::memory_order_release);
    });
  }
  bool busy() const override { return busy_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> busy_{false};
  std::thread thread_;
};

// The job at once, on the calling thread: for tests that drive the schedule
// step by step.
class InlineWorker final : public Worker {
 public:
  void start(std::function<void()> job) override { job(); }
  bool busy() const override { return false; }
};

}  // namespace bakwyn::app
