// The installer window's eleven texts in Simplified Chinese, Traditional Chinese and English (GBK).
#pragma once

#include <cstdint>

constexpr int kMessageSlotSize = 100;
constexpr int kMessageCount = 11;

// Entries the window shows.
constexpr int kTextInstall = 0;
constexpr int kTextServerLinkFail = 1;
constexpr int kTextInstallFail = 6;
constexpr int kTextOpen = 7;
constexpr int kTextErrorCode = 8;
constexpr int kTextReconnecting = 9;
constexpr int kTextPackageCheckFailed = 10;

// NUL-terminated GBK text of entry `index` (0..10, not validated) in language `language_id` (the
// install context's): 0x0409 English, 0x0404 Traditional, anything else Simplified.
const char* GetMessageText(int32_t language_id, int index);

// The stored language id for a UI language: 0x0C04 (Hong Kong) becomes 0x0404.
int32_t NormalizeLanguageId(int32_t ui_language);
