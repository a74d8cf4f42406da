// The module list and the derivation of the working folders.
#include "core/install_context.h"

#include <stdexcept>

#include "base/special_folder.h"

const ModuleRecord& ModuleList::At(size_t index) const {
  if (index >= records_.size()) throw std::out_of_range("invalid vector<T> subscript");
  return records_[index];
}

void SetUpPathsBelow(const std::string& app_data, InstallContext* ctx) {
  ctx->DependDir = app_data + "\\QuillbankDependBase";
  ctx->InstallDir = app_data + "\\Quillbank" + ctx->PackageNumber;
  ctx->StagingDir = ctx->InstallDir + kStagingSuffix;
}

void SetUpPaths(InstallContext* ctx) {
  std::string app_data;
  GetSpecialFolder(kCsidlAppData, app_data);
  SetUpPathsBelow(app_data, ctx);
}
