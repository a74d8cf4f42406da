// Writers of module.info, update.ini and the terminal's configuration files.
#include "install/install_records.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/coding.h"
#include "base/file_system.h"
#include "install/profile_string.h"

bool WriteModuleInfo(const std::string& staging_dir, const VersionPair& installed,
                     const ModuleList& modules) {
  const std::string path = staging_dir + "\\module.info";
  FILE* file = OpenFile(path.c_str(), "wb");
  if (file == nullptr) return false;
  uint8_t version[8];
  EncodeFixed32(version, static_cast<uint32_t>(installed.Part3));
  EncodeFixed32(version + 4, static_cast<uint32_t>(installed.Part4));
  bool written = std::fwrite(version, 1, sizeof version, file) == sizeof version;
  uint8_t record[kModuleRecordSize];
  for (const ModuleRecord& module : modules) {
    if (!written) break;
    EncodeModuleRecord(module, record);
    written = std::fwrite(record, 1, sizeof record, file) == sizeof record;
  }
  // The close flushes the stream's buffer: its result is part of the write.
  written = std::fclose(file) == 0 && written;
  if (!written) {
    // A truncated module list would later read as a smaller install.
    std::remove(NativePath(path).c_str());
    return false;
  }
  return true;
}

bool WriteUpdateIni(const std::string& staging_dir, const VersionPair& version) {
  const std::string path = staging_dir + "\\update.ini";
  char value[260];
  std::snprintf(value, sizeof value, "9.3.%d.%d", static_cast<int>(version.Part3),
                static_cast<int>(version.Part4));
  if (WriteProfileValue("version", "cur", value, path.c_str())) return true;
  std::remove(NativePath(path).c_str());
  return false;
}

bool WriteTerminalConfig(const InstallContext& ctx) {
  const std::string pub = ctx.InstallDir + "\\config\\quillbank.Default.pub";
  const bool pub_written =
      WriteProfileValue("quillbank", "package", ctx.PackageNumber.c_str(), pub.c_str());
  char language[260];
  std::snprintf(language, sizeof language, "%d", static_cast<int>(ctx.LanguageId));
  const std::string pri = ctx.InstallDir + "\\config\\quillbank.Default.pri";
  const bool pri_written = WriteProfileValue("quillbank", "language", language, pri.c_str());
  return pub_written && pri_written;
}

namespace {

// A decimal number of at most 9 digits at *text; moves past it.
bool ReadNumber(const char** text, int32_t* number) {
  const char* p = *text;
  int32_t value = 0;
  int digits = 0;
  while (*p >= '0' && *p <= '9' && digits < 9) {
    value = value * 10 + (*p++ - '0');
    ++digits;
  }
  if (digits == 0 || (*p >= '0' && *p <= '9')) return false;
  *number = value;
  *text = p;
  return true;
}

}  // namespace

bool ReadInstalledVersion(const std::string& install_dir, VersionPair* version) {
  const std::string path = install_dir + "\\update.ini";
  std::string value;
  if (!ReadProfileValue("version", "cur", path.c_str(), &value)) return false;
  if (value.compare(0, 4, "9.3.") != 0) return false;
  const char* text = value.c_str() + 4;
  VersionPair read;
  if (!ReadNumber(&text, &read.Part3) || *text++ != '.' || !ReadNumber(&text, &read.Part4) ||
      *text != '\0') {
    return false;
  }
  *version = read;
  return true;
}
