// The process-wide install context and module list, and the derivation of the working folders.
#include "core/install_context.h"

#include <stdexcept>

#include "base/resources.h"
#include "base/special_folder.h"

void* MainWindowHandle = nullptr;

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
  ctx.StagingDir = ctx.InstallDir + kStagingSuffix;
}
