// Our profile writer against the system's WritePrivateProfileStringA: the same writes on the same
// starting bytes must leave byte-identical files.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/profile_text.h"
#include "test_support/temp_dir.h"

namespace {

struct Write {
  const char* section;
  const char* key;
  const char* value;
};

struct Scenario {
  const char* name;
  const char* start;  // null: no file
  std::vector<Write> writes;
};

TEST(ProfileTextWinTest, SameBytesAsTheSystemWriter) {
  const std::vector<Scenario> scenarios = {
      {"new file", nullptr, {{"version", "cur", "9.3.1234.5"}}},
      {"replaced key", nullptr, {{"version", "cur", "9.3.1.2"}, {"version", "cur", "9.3.1.3"}}},
      {"added key", nullptr, {{"version", "cur", "9.3.1.2"}, {"version", "other", "x"}}},
      {"added section", nullptr, {{"version", "cur", "1"}, {"quillbank", "package", "100201"}}},
      {"same value", "[a]\r\n x = 1 \r\n\r\n", {{"a", "x", "1"}}},
      {"other sections", "[a]\r\nx=1\r\n\r\n[quillbank]\r\nold=1\r\n\r\n[c]\r\nz=3\r\n",
       {{"quillbank", "language", "2052"}, {"quillbank", "old", "2"}, {"d", "k", "v"}}},
      {"untidy file", "top=1\n\n[A]\n  x  =  1  \n;note\n=nameless\n=again\n[b]\ny=2",
       {{"a", "X", "2"}, {"B", "new", " v "}}},
      {"odd brackets", "[open\r\n[a]x]\r\nk=1\r\n[]\r\nq=1\r\n", {{"a]x", "k", "2"}, {"", "e", "1"}}},
  };
  TempDir temp;
  int n = 0;
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    const std::string ours = temp.Join("ours" + std::to_string(n) + ".ini");
    const std::string system = temp.Join("system" + std::to_string(n) + ".ini");
    ++n;
    if (scenario.start != nullptr) {
      ASSERT_TRUE(WriteFileBytes(ours, scenario.start));
      ASSERT_TRUE(WriteFileBytes(system, scenario.start));
    }
    for (const Write& w : scenario.writes) {
      EXPECT_EQ(WriteProfileFile(w.section, w.key, w.value, ours.c_str()),
                WritePrivateProfileStringA(w.section, w.key, w.value, system.c_str()) != FALSE);
      EXPECT_EQ(ReadFileBytes(ours), ReadFileBytes(system)) << w.section << "/" << w.key;
    }
  }
}

}  // namespace
