// The process-wide brushes and fonts.
#include "ui/drawing_objects.h"

HBRUSH GreyBrush = nullptr;
HBRUSH LightBrush = nullptr;
HFONT BodyFont = nullptr;
HFONT TitleFont = nullptr;

namespace {

HFONT CreateYaheiFont(int height) {
  return CreateFontW(height, /*cWidth=*/0, /*cEscapement=*/0, /*cOrientation=*/0,
                     /*cWeight=*/0, /*bItalic=*/FALSE, /*bUnderline=*/FALSE,
                     /*bStrikeOut=*/FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS,
                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH,
                     L"Microsoft Yahei");
}

template <typename Handle>
void DeleteAndClear(Handle& handle) {
  if (handle != nullptr) DeleteObject(handle);
  handle = nullptr;
}

}  // namespace

void CreateDrawingObjects() {
  GreyBrush = CreateSolidBrush(0x969696);
  LightBrush = CreateSolidBrush(0xE7E7E7);
  BodyFont = CreateYaheiFont(20);
  TitleFont = CreateYaheiFont(27);
}

void DeleteDrawingObjects() {
  DeleteAndClear(GreyBrush);
  DeleteAndClear(LightBrush);
  DeleteAndClear(BodyFont);
  DeleteAndClear(TitleFont);
}
