// What an installation leaves behind about itself: module.info and update.ini in the staging
// folder, and the terminal's two configuration files in the install folder. None reports a
// failure; a file that cannot be written is simply missing.
#pragma once

// InstalledVersion := LatestVersion, then StagingDir\module.info: the 8 bytes of the version and
// every module record (79 bytes each) in list order. Nothing changes when the file cannot be
// created.
void WriteModuleInfo();

// StagingDir\update.ini: [version] cur=9.3.<Part3>.<Part4> of LatestVersion.
void WriteUpdateIni();

// InstallDir\config\quillbank.Default.pub: [quillbank] package=<PackageNumber>, then
// InstallDir\config\quillbank.Default.pri: [quillbank] language=<LanguageId>. The config folder is
// not created here.
void WriteTerminalConfig();
