// A releases folder: every version of one package that the service serves, each a packed folder
// named by its version ("5.17", the third and fourth part) and never changed once there, and the
// file "current", which names the version the update check announces. An operator copies a new
// version to every instance first (nothing announces it yet, every instance can serve it) and
// then switches each instance's "current": installers that checked against either version
// complete with that version's files, whichever instance their download reaches.
#pragma once

#include <string>
#include <vector>

#include "service/package.h"

constexpr char kCurrentFileName[] = "current";

struct Releases {
  std::vector<Package> versions;  // by version, lowest first
  size_t announced = 0;           // index of the version "current" names
};

// "5.17".
std::string VersionName(int32_t part3, int32_t part4);

// Reads the releases folder `dir`. `before` (null at the start) is what it served until now:
// a version folder is loaded only when new; one served before stays as it was loaded, and a
// folder of its name whose package now differs (a republish under a served version's name) is
// refused, the old one kept; a version folder gone is dropped. A new folder that does not load,
// is named otherwise than its version, or is of another package number is left out. Each of
// these is a line in `*notes`; `*problems` counts those that are not what the operator asked
// for (every one but a dropped version). False with `*why` when no version is left, or when
// "current" is missing or names none of them (at a reload the caller then keeps `before`).
bool LoadReleases(const std::string& dir, const Releases* before, Releases* out,
                  std::vector<std::string>* notes, size_t* problems, std::string* why);
