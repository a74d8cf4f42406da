// Display enumeration and centring.
#include "ui/display_monitor.h"

RECT PickCursorMonitor(POINT cursor, const std::vector<DisplayMode>& displays,
                       const RECT& fallback) {
  RECT primary = fallback;
  for (const DisplayMode& mode : displays) {
    int x = mode.x;
    int y = mode.y;
    unsigned w = mode.width;
    unsigned h = mode.height;
    if (mode.dpi > 96) {
      x = x * 96 / mode.dpi;
      y = y * 96 / mode.dpi;
      w = w * 96u / static_cast<unsigned>(mode.dpi);
      h = h * 96u / static_cast<unsigned>(mode.dpi);
    }
    if (x == 0 && y == 0) primary = {0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
    if (x <= cursor.x && cursor.x < x + static_cast<LONG>(w) && y <= cursor.y &&
        cursor.y < y + static_cast<LONG>(h)) {
      return {x, y, x + static_cast<LONG>(w), y + static_cast<LONG>(h)};
    }
  }
  return primary;
}

RECT FindCursorMonitor() {
  POINT cursor = {};
  GetCursorPos(&cursor);
  std::vector<DisplayMode> displays;
  DISPLAY_DEVICEW device = {};
  device.cb = sizeof device;
  for (DWORD index = 0; EnumDisplayDevicesW(nullptr, index, &device, /*dwFlags=*/0); ++index) {
    DEVMODEW settings = {};
    settings.dmSize = sizeof settings;
    if (EnumDisplaySettingsExW(device.DeviceName, ENUM_CURRENT_SETTINGS, &settings,
                               /*dwFlags=*/0)) {
      DisplayMode mode;
      mode.x = settings.dmPosition.x;
      mode.y = settings.dmPosition.y;
      mode.width = settings.dmPelsWidth;
      mode.height = settings.dmPelsHeight;
      if (HDC dc = CreateDCW(device.DeviceName, nullptr, nullptr, nullptr)) {
        mode.dpi = GetDeviceCaps(dc, LOGPIXELSX);
        DeleteDC(dc);
      }
      displays.push_back(mode);
    }
    device = {};
    device.cb = sizeof device;
  }
  const RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  return PickCursorMonitor(cursor, displays, screen);
}

POINT CenteredOrigin(const RECT& display, int primary_height, SIZE size) {
  return {(display.right - display.left - size.cx) / 2 + display.left,
          (primary_height - size.cy) / 2};
}
