// The rollback floor in the registry: 8 bytes REG_BINARY, version part 3 then part 4, each a
// little-endian signed 32-bit number.
#include "install/rollback_floor.h"

#include <windows.h>

#include <cstdint>

#include "base/coding.h"
#include "base/win/registry_key.h"

namespace {

constexpr char kValueName[] = "RollbackFloor";

std::string KeyPath(const std::string& package_number) {
  return "Software\\Quillbank\\" + package_number;
}

}  // namespace

bool ReadRollbackFloor(const std::string& package_number, VersionPair* floor) {
  RegistryKey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, KeyPath(package_number).c_str(), 0, KEY_QUERY_VALUE,
                    key.receive()) != ERROR_SUCCESS) {
    return false;
  }
  uint8_t bytes[8] = {};
  DWORD type = 0;
  DWORD size = sizeof bytes;
  if (RegQueryValueExA(key.get(), kValueName, nullptr, &type, bytes, &size) != ERROR_SUCCESS ||
      type != REG_BINARY || size != sizeof bytes) {
    return false;
  }
  floor->Part3 = static_cast<int32_t>(DecodeFixed32(bytes));
  floor->Part4 = static_cast<int32_t>(DecodeFixed32(bytes + 4));
  return true;
}

bool WriteRollbackFloor(const std::string& package_number, const VersionPair& version) {
  RegistryKey key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, KeyPath(package_number).c_str(), 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, key.receive(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  uint8_t bytes[8];
  EncodeFixed32(bytes, static_cast<uint32_t>(version.Part3));
  EncodeFixed32(bytes + 4, static_cast<uint32_t>(version.Part4));
  return RegSetValueExA(key.get(), kValueName, 0, REG_BINARY, bytes, sizeof bytes) ==
         ERROR_SUCCESS;
}
