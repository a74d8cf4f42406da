// Creating the folders along a Windows file path.
#pragma once

// Creates every missing folder along a file path up to its last backslash. False when creating a
// folder fails or the path is longer than 259 characters.
bool MakePathDirs(const char* path);
