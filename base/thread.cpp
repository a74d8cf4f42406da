// Thread start-up and the thread procedure that runs a TThread.
#include "base/thread.h"

#include <chrono>
#include <system_error>

TThread::~TThread() {
  if (thread_.joinable()) thread_.detach();
}

bool TThread::Start() {
  if (thread_.joinable()) return false;
  try {
    thread_ = std::thread(&TThread::ThreadProc, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void TThread::StopAndJoin() {
  SetStop(true);
  if (!thread_.joinable()) return;
  if (IsThreadCurrent()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void TThread::ThreadProc(TThread* thread) {
  thread->thread_id_.store(std::this_thread::get_id());
  try {
    if (thread->target_ != nullptr) {
      thread->target_->Run();
    } else {
      thread->Run();
    }
  } catch (...) {
    // An exception escaping Run ends the thread quietly.
  }
}

void SleepMilliseconds(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
