// Writers of module.info, update.ini and the terminal's configuration files.
#include "install/install_records.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/coding.h"
#include "app/file_system.h"
#include "app/install_context.h"
#include "install/profile_string.h"

void WriteModuleInfo() {
  InstallContext& ctx = InstallContext::Get();
  const std::string path = ctx.StagingDir + "\\module.info";
  FILE* file = OpenFile(path.c_str(), "wb");
  if (file == nullptr) return;
  ctx.InstalledVersion = ctx.LatestVersion;
  uint8_t version[8];
  EncodeFixed32(version, static_cast<uint32_t>(ctx.InstalledVersion.Part3));
  EncodeFixed32(version + 4, static_cast<uint32_t>(ctx.InstalledVersion.Part4));
  std::fwrite(version, 1, sizeof version, file);
  uint8_t record[kModuleRecordSize];
  for (const ModuleRecord& module : ModuleList::Get()) {
    EncodeModuleRecord(module, record);
    std::fwrite(record, 1, sizeof record, file);
  }
  std::fclose(file);
}

void WriteUpdateIni() {
  const InstallContext& ctx = InstallContext::Get();
  const std::string path = ctx.StagingDir + "\\update.ini";
  char value[260];
  std::snprintf(value, sizeof value, "9.3.%d.%d", static_cast<int>(ctx.LatestVersion.Part3),
                static_cast<int>(ctx.LatestVersion.Part4));
  WriteProfileValue("version", "cur", value, path.c_str());
}

void WriteTerminalConfig() {
  const InstallContext& ctx = InstallContext::Get();
  const std::string pub = ctx.InstallDir + "\\config\\quillbank.Default.pub";
  WriteProfileValue("quillbank", "package", ctx.PackageNumber.c_str(), pub.c_str());
  char language[260];
  std::snprintf(language, sizeof language, "%d", static_cast<int>(ctx.LanguageId));
  const std::string pri = ctx.InstallDir + "\\config\\quillbank.Default.pri";
  WriteProfileValue("quillbank", "language", language, pri.c_str());
}
