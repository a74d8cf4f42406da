// The installer's progress bar: a child window that draws an outlined light bar filled from the
// left in proportion to position / range, with a red gradient where the system offers one.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ui/ix_frm.h"

// How the bar fills: with the system's gradient where it offers one, or plain grey as on a
// system without it (tests compare both fills).
enum class ProgressFill { kGradientWhereOffered, kGrey };

class TProcess : public TIxFrm {
 public:
  // With kGradientWhereOffered, loads the optional gradient routine ("GradientFill" of the
  // system folder's msimg32.dll).
  explicit TProcess(ProgressFill fill = ProgressFill::kGradientWhereOffered);
  // Unloads it.
  ~TProcess() override;

  // Handles WM_PAINT only.
  LRESULT WndProc(UINT message, WPARAM w_param, LPARAM l_param) override;

  int32_t Range() const { return range_; }
  int32_t Position() const { return position_; }
  // Neither repaints: callers invalidate when they are done.
  void SetRange(int32_t range) { range_ = range; }
  void SetPosition(int32_t position) { position_ = position; }
  void Invalidate();
  // SetPosition, invalidating only when the filled part changes (a bar a few hundred pixels wide
  // grows by a pixel only every few files of thousands).
  void MoveTo(int32_t position);

  bool HasGradient() const { return gradient_fill_ != nullptr; }

  // The filled part of a bar of `client` size for `position` of `range` (shrunk by 1 pixel on
  // every side); empty when position is not above 0 or exceeds the range.
  static RECT FilledPart(const RECT& client, int32_t position, int32_t range);

 private:
  using GradientFillFunction = BOOL(WINAPI*)(HDC, PTRIVERTEX, ULONG, PVOID, ULONG, ULONG);

  void Paint();

  int32_t range_ = 0;
  int32_t position_ = -1;
  HMODULE gradient_library_ = nullptr;
  GradientFillFunction gradient_fill_ = nullptr;
};

constexpr COLORREF kProgressOutlineColour = 0x969696;
