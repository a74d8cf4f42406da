// The process-wide install context and module list, and the derivation of the working folders.
#include "core/install_context.h"

#include <cstring>
#include <stdexcept>

#include "base/coding.h"
#include "base/file_system.h"
#include "base/resources.h"
#include "base/special_folder.h"

void* MainWindowHandle = nullptr;

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

// Function-local statics: constructed once, also under concurrent first calls (C++11 guarantees
// it), destroyed at process exit.
InstallContext& InstallContext::Get() {
  static InstallContext context;
  return context;
}

ModuleList& ModuleList::Get() {
  static ModuleList list;
  return list;
}

void ModuleList::Append(const ModuleRecord& record) { records_.push_back(record); }

const ModuleRecord& ModuleList::At(size_t index) const {
  if (index >= records_.size()) throw std::out_of_range("invalid vector<T> subscript");
  return records_[index];
}

void SetUpPaths() {
  InstallContext& ctx = InstallContext::Get();
  GetSpecialFolder(kCsidlAppData, ctx.InstallDir);
  ctx.DependDir = ctx.InstallDir + "\\QuillbankDependBase";
  ctx.InstallDir += "\\Quillbank";
  ctx.InstallDir += LoadPackageNumberString();
  ctx.StagingDir = ctx.InstallDir + "temp";
}

bool MakePathDirs(const char* path) {
  constexpr size_t kMaxPath = 259;
  if (path == nullptr) return false;
  const size_t length = std::strlen(path);
  if (length > kMaxPath) return false;
  char prefix[kMaxPath + 1];
  for (size_t i = 0; i < length; ++i) {
    if (path[i] != '\\') continue;
    std::memcpy(prefix, path, i + 1);
    prefix[i + 1] = '\0';
    // A lone backslash or a drive root ("C:\") always exists.
    if (i == 0 || (i == 2 && path[1] == ':')) continue;
    if (!PathExists(prefix) && !MakeDirectory(prefix)) return false;
  }
  return true;
}
