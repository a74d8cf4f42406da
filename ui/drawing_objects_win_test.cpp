// The process-wide brushes and fonts: what is created, and that deleting them leaves no handle
// behind.
#include "ui/drawing_objects.h"

#include <gtest/gtest.h>

namespace {

COLORREF BrushColour(HBRUSH brush) {
  LOGBRUSH info = {};
  GetObjectW(brush, sizeof info, &info);
  return info.lbColor;
}

void ExpectYaheiFont(HFONT font, LONG height) {
  LOGFONTW info = {};
  ASSERT_EQ(GetObjectW(font, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.lfHeight, height);
  EXPECT_EQ(info.lfWidth, 0);
  EXPECT_EQ(info.lfWeight, 0);
  EXPECT_FALSE(info.lfItalic || info.lfUnderline || info.lfStrikeOut);
  EXPECT_EQ(info.lfCharSet, DEFAULT_CHARSET);
  EXPECT_EQ(info.lfOutPrecision, OUT_OUTLINE_PRECIS);
  EXPECT_EQ(info.lfClipPrecision, CLIP_DEFAULT_PRECIS);
  EXPECT_EQ(info.lfQuality, CLEARTYPE_QUALITY);
  EXPECT_EQ(info.lfPitchAndFamily, VARIABLE_PITCH);
  EXPECT_STREQ(info.lfFaceName, L"Microsoft Yahei");
}

TEST(DrawingObjects, AreCreatedWithTheirColoursAndFontsAndDeletedToNull) {
  CreateDrawingObjects();
  ASSERT_NE(GreyBrush, nullptr);
  ASSERT_NE(LightBrush, nullptr);
  ASSERT_NE(BodyFont, nullptr);
  ASSERT_NE(TitleFont, nullptr);
  EXPECT_EQ(BrushColour(GreyBrush), 0x969696u);
  EXPECT_EQ(BrushColour(LightBrush), 0xE7E7E7u);
  ExpectYaheiFont(BodyFont, 20);
  ExpectYaheiFont(TitleFont, 27);

  const HGDIOBJ created[] = {GreyBrush, LightBrush, BodyFont, TitleFont};
  DeleteDrawingObjects();
  EXPECT_EQ(GreyBrush, nullptr);
  EXPECT_EQ(LightBrush, nullptr);
  EXPECT_EQ(BodyFont, nullptr);
  EXPECT_EQ(TitleFont, nullptr);
  for (HGDIOBJ object : created) EXPECT_EQ(GetObjectType(object), 0u) << "still alive";

  DeleteDrawingObjects();  // a second shut-down finds nothing to delete
}

}  // namespace
