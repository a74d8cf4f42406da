// The rollback floor in the user's registry: written and read back per package, nothing for a
// package never installed, and a value of another shape not taken for a floor.
#include "install/rollback_floor.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// A package number of this test run's own, so that runs never see each other's floors.
std::string TestNumber(const char* tag) {
  return std::string("t") + tag + std::to_string(GetCurrentProcessId() % 100000);
}

void Forget(const std::string& number) {
  RegDeleteKeyA(HKEY_CURRENT_USER, ("Software\\Quillbank\\" + number).c_str());
}

TEST(RollbackFloorTest, WrittenPerPackageAndReadBack) {
  const std::string a = TestNumber("a"), b = TestNumber("b");
  VersionPair floor;
  EXPECT_FALSE(ReadRollbackFloor(a, &floor));
  ASSERT_TRUE(WriteRollbackFloor(a, VersionPair{5, -17}));
  ASSERT_TRUE(ReadRollbackFloor(a, &floor));
  EXPECT_EQ(floor.Part3, 5);
  EXPECT_EQ(floor.Part4, -17);
  EXPECT_FALSE(ReadRollbackFloor(b, &floor));
  ASSERT_TRUE(WriteRollbackFloor(a, VersionPair{6, 0}));
  ASSERT_TRUE(ReadRollbackFloor(a, &floor));
  EXPECT_EQ(floor.Part3, 6);

  // A value that is not 8 bytes of REG_BINARY is no floor.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, ("Software\\Quillbank\\" + b).c_str(), 0, nullptr,
                            0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD number = 5;
  RegSetValueExA(key, "RollbackFloor", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                 sizeof number);
  RegCloseKey(key);
  EXPECT_FALSE(ReadRollbackFloor(b, &floor));
  Forget(a);
  Forget(b);
}

}  // namespace
