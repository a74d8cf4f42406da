// The process-wide brushes and fonts that every paint of the installer's windows uses. Created
// once before the first window and deleted once after the last one is gone.
#pragma once

#include <windows.h>

extern HBRUSH GreyBrush;   // 0x969696: progress fill without gradient support
extern HBRUSH LightBrush;  // 0xE7E7E7: progress bar background
extern HFONT BodyFont;     // "Microsoft Yahei", height 20: title, button, status, package number
extern HFONT TitleFont;    // "Microsoft Yahei", height 27: product name

// GreyBrush, LightBrush, BodyFont, TitleFont, in this order. Failures are not detected.
void CreateDrawingObjects();
// Deletes the four in the same order and sets them to null.
void DeleteDrawingObjects();
