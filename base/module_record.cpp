// The module record's byte layout: explicit field copies and little-endian numbers.
#include "base/module_record.h"

#include <cstring>

#include "base/coding.h"

ModuleRecord DecodeModuleRecord(const uint8_t* src) {
  ModuleRecord r;
  std::memcpy(r.PackageKey, src, sizeof r.PackageKey);
  std::memcpy(r.Name, src + 11, sizeof r.Name);
  r.Num1 = DecodeSigned32(src + kModuleRecordNum1Offset);
  r.Num2 = DecodeSigned32(src + kModuleRecordNum2Offset);
  r.Kind = static_cast<char>(src[kModuleRecordKindOffset]);
  std::memcpy(r.Tail, src + kModuleRecordTailOffset, sizeof r.Tail);
  return r;
}

void EncodeModuleRecord(const ModuleRecord& r, uint8_t* dst) {
  std::memcpy(dst, r.PackageKey, sizeof r.PackageKey);
  std::memcpy(dst + 11, r.Name, sizeof r.Name);
  EncodeFixed32(dst + kModuleRecordNum1Offset, static_cast<uint32_t>(r.Num1));
  EncodeFixed32(dst + kModuleRecordNum2Offset, static_cast<uint32_t>(r.Num2));
  dst[kModuleRecordKindOffset] = static_cast<uint8_t>(r.Kind);
  std::memcpy(dst + kModuleRecordTailOffset, r.Tail, sizeof r.Tail);
}
