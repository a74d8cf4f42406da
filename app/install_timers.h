// The time the install controller keeps: its two timers, the clock they are measured with, and
// the pause a closing window takes. The installer window's timers serve it; the controller's own
// tests fire them by hand.
#pragma once

#include <cstdint>

class InstallTimers {
 public:
  virtual ~InstallTimers() = default;
  // Starts (or restarts) timer `id`, firing every `ms` until stopped; the firing reaches the
  // controller's OnTimer on its thread. False when no timer could be made.
  virtual bool Start(uint32_t id, uint32_t ms) = 0;
  virtual void Stop(uint32_t id) = 0;
  // Milliseconds of a clock that wraps and never goes back. Any thread.
  virtual uint32_t NowMs() = 0;
  // Lets `ms` pass on the controller's thread.
  virtual void Pause(uint32_t ms) = 0;
};
