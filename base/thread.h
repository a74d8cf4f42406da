// The small thread framework: a runnable interface and a thread object that runs it.
#pragma once

#include <atomic>
#include <thread>

class TRunnable {
 public:
  virtual void Run() = 0;

 protected:
  ~TRunnable() = default;
};

// One optional worker thread that executes `Run` (or the target's `Run` when a target is set).
// The destructor only lets go of a thread that is still running; classes whose `Run` uses their
// own members stop and join it in their destructors (StopAndJoin).
class TThread : public TRunnable {
 public:
  TThread() = default;
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the thread once; false when it could not be started or already exists. Virtual so
  // that a test's subclass can refuse, as the system does when it has no thread to give, and
  // reach the failure paths of its users.
  virtual bool Start();
  bool HasThread() const { return thread_.joinable(); }
  bool IsThreadCurrent() const { return thread_id_.load() == std::this_thread::get_id(); }

  void SetTarget(TRunnable* target) { target_ = target; }
  void SetStop(bool stop) { stop_.store(stop); }
  bool StopRequested() const { return stop_.load(); }

  // Sets the stop flag and waits for the thread to end (lets go of it instead when called on the
  // thread itself).
  void StopAndJoin();

 private:
  static void ThreadProc(TThread* thread);

  std::thread thread_;  // no thread: not joinable (the "handle -1" state)
  TRunnable* target_ = nullptr;
  std::atomic<bool> stop_{false};
  // Written by the new thread itself, so it never races with the assignment of thread_.
  std::atomic<std::thread::id> thread_id_{};
};

// Sleeps on the calling thread.
void SleepMilliseconds(int milliseconds);
