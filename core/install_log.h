// The install log of the process: <staging folder>\log\install.log, one line per call, CR LF
// after each. Every writer of the process shares it.
#pragma once

#include <string>

// The GBK full-width colon that log lines put between the writer and what it reports, as in
// "ProcessCheck" QB_COLON "QryCheckUpdate". A macro so it joins string literals.
#define QB_COLON "\xA3\xBA"

// Where the log lies below the staging folder.
constexpr char kInstallLogRelativePath[] = "log\\install.log";

// Beside the install folder, "<InstallDir>.failed.log": the log of the last failed attempt, kept
// for the user to send to support.
constexpr char kFailedLogSuffix[] = ".failed.log";

// Opens (truncating) the log under `staging_dir`, creating its folders. False when the log
// could not be created; every WriteLog then does nothing.
bool OpenInstallLog(const std::string& staging_dir);

// Opens the log of this run again after CloseInstallLog, appending: for what the install steps
// have to say once they fail.
bool ReopenInstallLog(const std::string& staging_dir);
// Appends text + CR LF and flushes. Does nothing for a null text or when no log is open.
void WriteLog(const char* text);

// Closes the log if it is open. Serialised with WriteLog, so no line reaches a closed stream.
void CloseInstallLog();

bool IsInstallLogOpen();
