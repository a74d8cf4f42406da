// The main of every Windows test program. It differs from GoogleTest's own in one thing: it does
// not end the process while one of its threads is still starting.
//
// Under Wine, a thread that the end of the process kills in the middle of its start-up crashes
// the whole process (SIGSEGV, after every test passed). GoogleTest starts such threads itself: on
// Windows, the first SCOPED_TRACE or failure on a thread starts a watcher thread for that thread,
// and a short test can return while that watcher is still being set up. So, before returning,
// this main waits until every thread of the process has reached its thread-attach callback,
// which the loader calls only once a thread's start-up is done.
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>

#include <gtest/gtest.h>

namespace {

// Threads that have reached their attach callback. An id is never taken out: a thread that has
// ended is past its start-up too.
constexpr size_t kMaxThreads = 4096;
DWORD g_started_ids[kMaxThreads];
std::atomic<size_t> g_started_count{0};
HANDLE g_thread_started = nullptr;  // auto-reset, set on every attach

void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_ATTACH) return;
  const size_t slot = g_started_count.load();
  if (slot < kMaxThreads) {
    g_started_ids[slot] = GetCurrentThreadId();
    g_started_count.store(slot + 1);  // the loader lock keeps attach callbacks one at a time
  }
  if (g_thread_started != nullptr) SetEvent(g_thread_started);
}

bool HasStarted(DWORD id) {
  const size_t count = g_started_count.load();
  for (size_t i = 0; i < count && i < kMaxThreads; ++i) {
    if (g_started_ids[i] == id) return true;
  }
  return false;
}

// True when every other thread of this process has finished its start-up.
bool AllThreadsStarted() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;  // nothing to wait on
  const DWORD process = GetCurrentProcessId();
  const DWORD self = GetCurrentThreadId();
  bool all = true;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more && all;
       more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self &&
        !HasStarted(entry.th32ThreadID)) {
      all = false;
    }
  }
  CloseHandle(snapshot);
  return all;
}

void WaitForStartingThreads() {
  // A thread killed before it started would never attach: give up after this long rather than
  // hang the run.
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (!AllThreadsStarted()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      std::fprintf(stderr, "test main: a thread of this process never finished starting\n");
      return;
    }
    WaitForSingleObject(g_thread_started, static_cast<DWORD>(deadline - now));
  }
}

}  // namespace

// The loader calls the callbacks of this list for every thread that starts or ends.
extern "C" __attribute__((section(".CRT$XLY"), used))
const PIMAGE_TLS_CALLBACK qb_thread_event_callback = OnThreadEvent;

int main(int argc, char** argv) {
  g_thread_started = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  WaitForStartingThreads();
  return result;
}
