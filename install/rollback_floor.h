// The rollback floor: the version of the last signed install of a package, kept in the user's
// registry (HKCU\Software\Quillbank\<package number>, value "RollbackFloor") rather than in the
// install folder, so that deleting the install does not let an older signed version back in.
#pragma once

#include <string>

#include "base/module_record.h"

// False when none is recorded (or it cannot be read whole).
bool ReadRollbackFloor(const std::string& package_number, VersionPair* floor);
// Records `version` as the floor. False when it cannot be written.
bool WriteRollbackFloor(const std::string& package_number, const VersionPair& version);
