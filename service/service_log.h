// The service's own log: one line per connection event, time-stamped, safe from any thread.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Writes one line, time-stamped, to the log file (standard error by default), or hands it to the
// sink when one is installed.
void ServiceLog(const std::string& line);
// printf-style convenience.
void ServiceLogF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Redirects the lines (tests, --log FILE). An empty function restores standard error.
using ServiceLogSink = std::function<void(const std::string& line)>;
void SetServiceLogSink(ServiceLogSink sink);
// Where time-stamped lines go (--log FILE); null restores standard error. The caller keeps the
// file open while it is in use.
void SetServiceLogFile(FILE* file);
// Lines with no sink of their own can be silenced (--quiet).
void SetServiceLogQuiet(bool quiet);
