// Which path components Windows takes for a device, and which only for "." or "..".
#include "base/path_rules.h"

#include <gtest/gtest.h>

TEST(PathRulesTest, DeviceNamesInAnyCaseWithAnyExtensionOrTrailingBlanks) {
  for (const char* name :
       {"CON", "con", "Prn", "AUX", "nul", "COM1", "com9", "LPT1", "lpt9", "CONIN$", "conout$",
        "aux.txt", "NUL.tar.gz", "con.", "CON...", "nul ", "lpt9 .log", "Com1 . txt", "CON:",
        "nul:stream", "CONOUT$ .x"}) {
    EXPECT_TRUE(IsWindowsDeviceName(name)) << name;
  }
}

TEST(PathRulesTest, NamesThatOnlyResembleADeviceAreFiles) {
  for (const char* name :
       {"", "CO", "CONS", "CONSOLE", "xcon", "con_x", "auxiliary.txt", "nul-ish.txt", "COM0",
        "LPT0", "COM10", "COMA", "LPT", "CONIN", "CONOUT", "CON$", "a.con", "dir.nul", ".con"}) {
    EXPECT_FALSE(IsWindowsDeviceName(name)) << name;
  }
}

TEST(PathRulesTest, OnlyDotsAndBlanks) {
  for (const char* name : {".", "..", "...", ". .", ".. ", " ..", " "}) {
    EXPECT_TRUE(IsOnlyDotsAndBlanks(name)) << name;
  }
  for (const char* name : {"", "a", "..a", "a..", ". a", ".x."}) {
    EXPECT_FALSE(IsOnlyDotsAndBlanks(name)) << name;
  }
}
