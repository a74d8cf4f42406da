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

// The product name the package query reports becomes a shortcut's file name only when it names
// one plain file: nothing that climbs, names a stream or a device, or that Windows would change.
TEST(PathRulesTest, PlainFileNamesFromTheNetwork) {
  for (const char16_t* name :
       {u"quillbank ix", u"\u5c9a\u821f", u"A.B", u"v1.2 (x64)", u".hidden", u" lead",
        u"Quillbank100201", u"\u5c9a\u821f\u884c\u60c5", u"con_x", u"a.b.c"}) {
    EXPECT_TRUE(IsPlainFileName(name));
  }
  const std::u16string longest(kPlainFileNameMax, u'x');
  EXPECT_TRUE(IsPlainFileName(longest));
  EXPECT_FALSE(IsPlainFileName(longest + u"x"));
  for (const char16_t* name :
       {u"", u"..\\Other App", u"../Other App", u"..", u".", u"a..b", u"Other\\App",
        u"Other/App", u"C:evil", u"name:stream", u"trailing.", u"trailing ", u"a*", u"a?",
        u"a<b", u"a>b", u"a|b", u"say \"hi\"", u"tab\there", u"bell\a", u"del\x7f", u"CON",
        u"nul.lnk", u"COM1", u"Lpt9 ", u"conout$"}) {
    EXPECT_FALSE(IsPlainFileName(name));
  }
}

// One rule for a path component, for the manifest's reader and writer and for pack: what every
// Windows volume can hold as a file or folder name.
TEST(PathRulesTest, ComponentsEveryWindowsVolumeCanHold) {
  for (const char* name : {"a.dat", ".hidden", "..x", "x..y", "SH600000.day", "con_x",
                           "\xc0\xb6\xd6\xdb", "\x81\x7c"}) {
    EXPECT_EQ(ComponentProblem(name), nullptr) << name;
  }
  for (const char* name : {"", ".", "..", ". .", "a.", "a ", "a*", "a?", "a<b", "a>b", "a|b",
                           "a\"b", "a:b", "a/b", "a\\b", "a\tb", "a\x7f", "CON", "nul.txt"}) {
    EXPECT_NE(ComponentProblem(name), nullptr) << name;
  }
}

TEST(PathRulesTest, FoldedPathsCompareAsWindowsComparesNames) {
  EXPECT_EQ(FoldedPath("Data\\Quotes\\SH600000.DAY"), "data\\quotes\\sh600000.day");
  // Double-byte characters stay as they are, their second bytes in the letters' range too.
  EXPECT_EQ(FoldedPath("\x81\x41B"), "\x81\x41b");
  EXPECT_NE(FoldedPath("\x81\x41"), FoldedPath("\x81\x61"));
}

TEST(PathRulesTest, FoldedComparisonsAgreeWithFoldedPaths) {
  const char* const paths[] = {"a", "A", "ab", "aB", "b", "", "\x81\x41", "\x81\x61", "\x81",
                               "Data\\x", "data\\X", "data\\y", "\x81\x41z", "\x81\x41Z"};
  for (const char* a : paths) {
    for (const char* b : paths) {
      EXPECT_EQ(FoldedLess(a, b), FoldedPath(a) < FoldedPath(b)) << a << " " << b;
      EXPECT_EQ(FoldedEqual(a, b), FoldedPath(a) == FoldedPath(b)) << a << " " << b;
    }
  }
}
