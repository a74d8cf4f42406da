// Native build only: what the stand-ins of install/system.h use in place of the operating
// system, set and read by tests. Nothing natively touches the real environment or registry.
#pragma once

#include <string>

// Major version BaseZipNeeded sees (default 10, so no base archive is needed).
void SetWindowsMajorVersionForTest(int major);

// The installer's own "Path" (default empty).
void SetProcessPathForTest(const std::string& path);
std::string ProcessPathForTest();

// The user's stored "Path": `exists` false means no value (the default).
void SetStoredUserPathForTest(bool exists, const std::string& value);
bool StoredUserPathExistsForTest();
std::string StoredUserPathForTest();
// Number of writes of the stored Path (each followed by a settings-change broadcast).
int StoredUserPathWritesForTest();
