// The service's own log: one line per connection event, time-stamped, safe from any thread.
#pragma once

#include <functional>
#include <string>

// Writes one line (a newline is added) to the current sink; standard error by default.
void ServiceLog(const std::string& line);
// printf-style convenience.
void ServiceLogF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Redirects the lines (tests, --log FILE). An empty function restores standard error.
using ServiceLogSink = std::function<void(const std::string& line)>;
void SetServiceLogSink(ServiceLogSink sink);
// Lines with no sink of their own can be silenced (--quiet).
void SetServiceLogQuiet(bool quiet);
