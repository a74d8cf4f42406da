// Owners for GDI objects and device contexts, and guards for a DC's selection and for one paint.
#pragma once

#include <windows.h>

#include <utility>

#include "base/scoped_generic.h"

// Deletes the pen, brush, bitmap or font it owns.
template <typename GdiHandle>
struct GdiObjectTraits {
  using Handle = GdiHandle;
  static GdiHandle InvalidValue() { return nullptr; }
  static void Free(GdiHandle handle) { DeleteObject(handle); }
};

template <typename Handle>
using GdiObject = ScopedGeneric<GdiObjectTraits<Handle>>;
using PenHandle = GdiObject<HPEN>;
using BrushHandle = GdiObject<HBRUSH>;
using BitmapHandle = GdiObject<HBITMAP>;

struct MemoryDcTraits {
  using Handle = HDC;
  static HDC InvalidValue() { return nullptr; }
  static void Free(HDC dc) { DeleteDC(dc); }
};

// A memory device context made with CreateCompatibleDC, deleted with DeleteDC. Its own class
// rather than an alias so that MemoryDc(dc) keeps meaning "make one compatible with dc" and is
// never read as taking ownership of `dc`; reset() takes a memory DC, or null.
class MemoryDc : public ScopedGeneric<MemoryDcTraits> {
 public:
  // Compatible with `compatible_with`, or with the screen when it is null.
  explicit MemoryDc(HDC compatible_with)
      : ScopedGeneric<MemoryDcTraits>(CreateCompatibleDC(compatible_with)) {}
};

// Selects an object into a DC for one scope. A null object selects nothing. Not a handle owner:
// what it undoes is the selection, and that needs the DC as well as the previous object.
class SelectGuard {
 public:
  SelectGuard(HDC dc, HGDIOBJ object)
      : dc_(dc), previous_(object != nullptr ? SelectObject(dc, object) : nullptr) {}
  ~SelectGuard() { Restore(); }
  // The moved-from guard restores nothing.
  SelectGuard(SelectGuard&& other) noexcept
      : dc_(other.dc_), previous_(std::exchange(other.previous_, nullptr)) {}
  // Restores this guard's selection, then takes over the other's.
  SelectGuard& operator=(SelectGuard&& other) noexcept {
    if (this != &other) {
      Restore();
      dc_ = other.dc_;
      previous_ = std::exchange(other.previous_, nullptr);
    }
    return *this;
  }
  SelectGuard(const SelectGuard&) = delete;
  SelectGuard& operator=(const SelectGuard&) = delete;

 private:
  void Restore() {
    if (previous_ != nullptr) SelectObject(dc_, previous_);
    previous_ = nullptr;
  }

  HDC dc_;
  HGDIOBJ previous_;
};

// One WM_PAINT: BeginPaint when made, EndPaint when it goes. Not a handle owner: EndPaint needs
// the window and the PAINTSTRUCT that BeginPaint filled in, not only the DC.
class PaintDc {
 public:
  explicit PaintDc(HWND hwnd) : hwnd_(hwnd), dc_(BeginPaint(hwnd, &paint_)) {}
  ~PaintDc() { End(); }
  // The moved-from object ends nothing.
  PaintDc(PaintDc&& other) noexcept
      : hwnd_(std::exchange(other.hwnd_, nullptr)),
        paint_(other.paint_),
        dc_(std::exchange(other.dc_, nullptr)) {}
  // Ends this paint, then takes over the other's.
  PaintDc& operator=(PaintDc&& other) noexcept {
    if (this != &other) {
      End();
      hwnd_ = std::exchange(other.hwnd_, nullptr);
      paint_ = other.paint_;
      dc_ = std::exchange(other.dc_, nullptr);
    }
    return *this;
  }
  PaintDc(const PaintDc&) = delete;
  PaintDc& operator=(const PaintDc&) = delete;

  HDC get() const { return dc_; }
  bool valid() const { return dc_ != nullptr; }

 private:
  void End() {
    if (hwnd_ != nullptr) EndPaint(hwnd_, &paint_);
    hwnd_ = nullptr;
  }

  HWND hwnd_;
  PAINTSTRUCT paint_ = {};
  HDC dc_;
};
