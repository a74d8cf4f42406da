// Finding the display under the cursor, and where the installer window goes on it.
#pragma once

#include <windows.h>

#include <vector>

// One display as the system reports its current settings.
struct DisplayMode {
  int x = 0;
  int y = 0;
  unsigned width = 0;
  unsigned height = 0;
  int dpi = 96;  // logical pixels per inch
};

// The rectangle of the display that contains `cursor`, with positions and sizes scaled to 96 dpi;
// the primary display (the one at (0, 0)) when none does; `fallback` when there is no primary.
RECT PickCursorMonitor(POINT cursor, const std::vector<DisplayMode>& displays,
                       const RECT& fallback);

// The displays in the system's order (devices whose current settings cannot be read are left
// out), then PickCursorMonitor with the cursor position. Falls back to the primary screen's size.
RECT FindCursorMonitor();

// Top-left corner of a window of `size` centred horizontally on `display` and vertically on the
// primary screen, whose height is `primary_height`, whatever display was chosen.
POINT CenteredOrigin(const RECT& display, int primary_height, SIZE size);
