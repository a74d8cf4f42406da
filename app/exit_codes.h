// What the program's exit code says happened: one table for the install and the uninstall, in
// every mode, so that a deployment tool (or the Windows Package Manager, whose manifest is made
// from this table by packaging/winget_manifest.py) can tell the user what to do. Where a Windows
// Installer or system code means the same thing, it is that code.
#pragma once

enum ExitCode : int {
  kExitSuccess = 0,  // installed (or uninstalled); also the usage shown by /? or /help
  kExitFileHeld = 32,  // ERROR_SHARING_VIOLATION: a file of the old install is held open
  kExitDiskFull = 112,  // ERROR_DISK_FULL: a file of the download did not fit on the disk
  kExitNoServer = 1231,  // ERROR_NETWORK_UNREACHABLE: no update server could be reached, or
                         // the connection was lost for good
  kExitCancelled = 1602,  // ERROR_INSTALL_USEREXIT: the user closed the window first
  kExitFailed = 1603,  // ERROR_INSTALL_FAILURE: any other failure
  kExitAnotherInstall = 1618,  // ERROR_INSTALL_ALREADY_RUNNING: another installer (or uninstall)
                               // of this package runs
  kExitPackageCheckFailed = 1620,  // ERROR_INSTALL_PACKAGE_INVALID: the signed package failed
                                   // its check (signature, expiry, files)
  kExitLogNotWritten = 1622,  // ERROR_INSTALL_LOG_FAILURE: installed, but the log asked for with
                              // /log= could not be written there
  kExitDowngrade = 1638,  // ERROR_PRODUCT_VERSION: the package is older than the installed
                          // version or one installed before (the rollback floor)
  kExitInvalidCommandLine = 1639,  // ERROR_INVALID_COMMAND_LINE: nothing was installed
};
