// What an installation leaves behind about itself: module.info and update.ini in the staging
// folder, and the terminal's two configuration files in the install folder. Each returns false
// when a file could not be written in full.
#pragma once

#include <string>

#include "base/module_record.h"

// InstalledVersion := LatestVersion, then StagingDir\module.info: the 8 bytes of the version and
// every module record (79 bytes each) in list order. False when the file cannot be created,
// written or closed; nothing changes then (no file is left behind, InstalledVersion keeps its
// value).
bool WriteModuleInfo();

// StagingDir\update.ini: [version] cur=9.3.<Part3>.<Part4> of LatestVersion. False when it
// cannot be written; the file is then removed.
bool WriteUpdateIni();

// The version update.ini in `install_dir` names ("9.3.<Part3>.<Part4>"); false when there is no
// such file or its value is not of that form.
bool ReadInstalledVersion(const std::string& install_dir, VersionPair* version);

// InstallDir\config\quillbank.Default.pub: [quillbank] package=<PackageNumber>, then
// InstallDir\config\quillbank.Default.pri: [quillbank] language=<LanguageId>. The config folder is
// not created here. False when either file cannot be written (both are attempted).
bool WriteTerminalConfig();
