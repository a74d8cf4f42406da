// What an installation leaves behind about itself: module.info and update.ini in the staging
// folder, and the terminal's two configuration files in the install folder. Each returns false
// when a file could not be written in full.
#pragma once

#include <string>

#include "base/module_record.h"
#include "core/install_context.h"

// `staging_dir`\module.info: the 8 bytes of `version` (the installed one) and every record of
// `modules` (79 bytes each) in list order. False when the file cannot be created, written or
// closed; no file is left behind then.
bool WriteModuleInfo(const std::string& staging_dir, const VersionPair& version,
                     const ModuleList& modules);

// `staging_dir`\update.ini: [version] cur=9.3.<Part3>.<Part4> of `version`. False when it cannot
// be written; the file is then removed.
bool WriteUpdateIni(const std::string& staging_dir, const VersionPair& version);

// The version update.ini in `install_dir` names ("9.3.<Part3>.<Part4>"); false when there is no
// such file or its value is not of that form.
bool ReadInstalledVersion(const std::string& install_dir, VersionPair* version);

// InstallDir\config\quillbank.Default.pub: [quillbank] package=<PackageNumber>, then
// InstallDir\config\quillbank.Default.pri: [quillbank] language=<LanguageId>, of `ctx`. The config
// folder is not created here. False when either file cannot be written (both are attempted).
bool WriteTerminalConfig(const InstallContext& ctx);
