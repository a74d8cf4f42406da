// Runs a Windows program, waits for it and writes its peak working set (GetProcessMemoryInfo) and
// exit code to a file, for the whole-install benchmark, which cannot ask Windows itself.
//
//   bench_peak_memory.exe REPORT PROGRAM [ARGUMENTS...]
// REPORT gets "peak_working_set_bytes N" and "exit_code N" lines. The counters are read while the
// program runs (a process that has ended may have none left to read), often enough not to miss
// the peak, which only grows.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

// Appends `arg` to `line` quoted as CommandLineToArgvW reads it back.
void AppendQuoted(std::string* line, const char* arg) {
  line->push_back('"');
  size_t backslashes = 0;
  for (const char* p = arg; *p != '\0'; ++p) {
    if (*p == '\\') {
      ++backslashes;
      continue;
    }
    line->append(*p == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    line->push_back(*p);
  }
  line->append(2 * backslashes, '\\');
  line->push_back('"');
}

SIZE_T PeakWorkingSet(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_peak_memory REPORT PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  std::string line;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) line.push_back(' ');
    AppendQuoted(&line, argv[i]);
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(argv[2], &line[0], /*lpProcessAttributes=*/nullptr,
                      /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE,
                      /*dwCreationFlags=*/0, /*lpEnvironment=*/nullptr,
                      /*lpCurrentDirectory=*/nullptr, &startup, &info)) {
    std::fprintf(stderr, "bench_peak_memory: cannot start %s (error %lu)\n", argv[2],
                 GetLastError());
    return 1;
  }
  CloseHandle(info.hThread);
  SIZE_T peak = 0;
  for (;;) {
    const SIZE_T now = PeakWorkingSet(info.hProcess);
    if (now > peak) peak = now;
    if (WaitForSingleObject(info.hProcess, /*dwMilliseconds=*/50) != WAIT_TIMEOUT) break;
  }
  const SIZE_T last = PeakWorkingSet(info.hProcess);
  if (last > peak) peak = last;
  DWORD exit_code = 0;
  GetExitCodeProcess(info.hProcess, &exit_code);
  CloseHandle(info.hProcess);

  FILE* report = std::fopen(argv[1], "w");
  if (report == nullptr) return 1;
  std::fprintf(report, "peak_working_set_bytes %llu\nexit_code %lu\n",
               static_cast<unsigned long long>(peak), static_cast<unsigned long>(exit_code));
  std::fclose(report);
  return 0;
}
