// Owners for GDI objects and device contexts, and guards for a DC's selection and for one paint.
#pragma once

#include <windows.h>

// Deletes the pen, brush, bitmap or font it owns.
template <typename Handle>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(Handle handle) : handle_(handle) {}
  ~GdiObject() { reset(); }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  // Deletes what was held and takes `handle`.
  void reset(Handle handle = nullptr) {
    if (handle_ != nullptr) DeleteObject(handle_);
    handle_ = handle;
  }
  // Gives the object up without deleting it.
  Handle release() {
    const Handle handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  Handle handle_ = nullptr;
};

using PenHandle = GdiObject<HPEN>;
using BrushHandle = GdiObject<HBRUSH>;
using BitmapHandle = GdiObject<HBITMAP>;

// A memory device context made with CreateCompatibleDC, deleted with DeleteDC.
class MemoryDc {
 public:
  // Compatible with `compatible_with`, or with the screen when it is null.
  explicit MemoryDc(HDC compatible_with) : dc_(CreateCompatibleDC(compatible_with)) {}
  ~MemoryDc() { reset(); }
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;

  HDC get() const { return dc_; }
  bool valid() const { return dc_ != nullptr; }
  // Deletes what was held and takes `dc` (a memory DC, or null).
  void reset(HDC dc = nullptr) {
    if (dc_ != nullptr) DeleteDC(dc_);
    dc_ = dc;
  }
  // Gives the DC up without deleting it.
  HDC release() {
    const HDC dc = dc_;
    dc_ = nullptr;
    return dc;
  }

 private:
  HDC dc_;
};

// Selects an object into a DC for one scope. A null object selects nothing.
class SelectGuard {
 public:
  SelectGuard(HDC dc, HGDIOBJ object)
      : dc_(dc), previous_(object != nullptr ? SelectObject(dc, object) : nullptr) {}
  ~SelectGuard() {
    if (previous_ != nullptr) SelectObject(dc_, previous_);
  }
  SelectGuard(const SelectGuard&) = delete;
  SelectGuard& operator=(const SelectGuard&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// One WM_PAINT: BeginPaint when made, EndPaint when it goes.
class PaintDc {
 public:
  explicit PaintDc(HWND hwnd) : hwnd_(hwnd), dc_(BeginPaint(hwnd, &paint_)) {}
  ~PaintDc() { EndPaint(hwnd_, &paint_); }
  PaintDc(const PaintDc&) = delete;
  PaintDc& operator=(const PaintDc&) = delete;

  HDC get() const { return dc_; }
  bool valid() const { return dc_ != nullptr; }

 private:
  HWND hwnd_;
  PAINTSTRUCT paint_ = {};
  HDC dc_;
};
