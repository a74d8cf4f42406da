// The plain records of a package's contents: the version pair and the 79-byte module record, as
// the module-check reply carries it and module.info stores it.
#pragma once

#include <cstddef>
#include <cstdint>

// Third and fourth components of the version text "9.3.%d.%d".
struct VersionPair {
  int32_t Part3 = 0;
  int32_t Part4 = 0;
};
static_assert(sizeof(VersionPair) == 8, "VersionPair is stored as 8 bytes");

// One module of the package. Bytes move in and out through EncodeModuleRecord/DecodeModuleRecord,
// never by casting.
#pragma pack(push, 1)
struct ModuleRecord {
  char PackageKey[11];
  char Name[51];
  int32_t Num1;
  int32_t Num2;
  char Kind;
  char Tail[8];
};
#pragma pack(pop)
static_assert(sizeof(ModuleRecord) == 79, "ModuleRecord is 79 packed bytes");

constexpr size_t kModuleRecordSize = 79;
constexpr size_t kModuleRecordNum1Offset = 62;
constexpr size_t kModuleRecordNum2Offset = 66;
constexpr size_t kModuleRecordKindOffset = 70;
constexpr size_t kModuleRecordTailOffset = 71;

// Reads 79 bytes (the caller has checked that they exist).
ModuleRecord DecodeModuleRecord(const uint8_t* src);
// Writes exactly 79 bytes.
void EncodeModuleRecord(const ModuleRecord& record, uint8_t* dst);
