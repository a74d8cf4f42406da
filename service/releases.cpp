// Reading a releases folder, version by version.
#include "service/releases.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Two loads of one version folder describe the same package: version, every module record with
// its install path and size, and the base archive's size.
bool SamePackage(const Package& a, const Package& b) {
  if (a.number != b.number || a.version_part3 != b.version_part3 ||
      a.version_part4 != b.version_part4 || a.base_archive_size != b.base_archive_size ||
      a.modules.size() != b.modules.size()) {
    return false;
  }
  for (size_t i = 0; i < a.modules.size(); ++i) {
    const PackageModule& x = a.modules[i];
    const PackageModule& y = b.modules[i];
    if (x.package_key != y.package_key || x.name != y.name || x.num1 != y.num1 ||
        x.num2 != y.num2 || x.kind != y.kind || x.folder_part != y.folder_part ||
        x.file_part != y.file_part || x.size != y.size) {
      return false;
    }
  }
  return true;
}

// The first module file of `package` that is no longer the one loaded, or "".
std::string FirstChangedFile(const Package& package) {
  for (const PackageModule& m : package.modules) {
    if (!StillTheFileLoaded(m.source_path, m.identity)) return m.source_path;
  }
  return "";
}

bool Older(const Package& a, const Package& b) {
  return a.version_part3 != b.version_part3 ? a.version_part3 < b.version_part3
                                            : a.version_part4 < b.version_part4;
}

std::string ReadCurrent(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::string VersionName(int32_t part3, int32_t part4) {
  return std::to_string(part3) + "." + std::to_string(part4);
}

bool LoadReleases(const std::string& dir, const Releases* before, Releases* out,
                  std::vector<std::string>* notes, size_t* problems, std::string* why) {
  // Every note but a drop is a problem.
  auto problem = [&](const std::string& note) {
    notes->push_back(note);
    ++*problems;
  };
  std::error_code ec;
  std::vector<fs::path> folders;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] != '.' && it->is_directory(ec)) folders.push_back(it->path());
  }
  if (ec) {
    *why = "cannot list " + dir + ": " + ec.message();
    return false;
  }
  std::sort(folders.begin(), folders.end());
  Releases loaded;
  for (const fs::path& folder : folders) {
    const std::string name = folder.filename().string();
    const Package* served = nullptr;
    if (before != nullptr) {
      for (const Package& p : before->versions) {
        if (VersionName(p.version_part3, p.version_part4) == name) served = &p;
      }
    }
    Package package;
    std::string error;
    // Resolved through links, as a package folder is: the files stay those of the folder loaded.
    const fs::path real = fs::canonical(folder, ec);
    const bool read = LoadPackage(ec ? folder.string() : real.string(), &package, &error);
    if (served != nullptr) {
      // Served already: never changed, whatever the folder holds now.
      if (read && !SamePackage(package, *served)) {
        problem("version " + name + " refused: its folder differs from the version " +
                         name + " served (a new content must be a new version); the one "
                         "loaded before stays");
      } else if (!read) {
        problem("version " + name + " no longer loads (" + error +
                         "); the one loaded before stays");
      }
      const std::string changed = FirstChangedFile(*served);
      if (!changed.empty()) {
        problem("version " + name + ": " + changed + " changed in place since it was loaded; "
                "downloads that ask for its records are refused");
      }
      loaded.versions.push_back(*served);
      continue;
    }
    if (!read) {
      problem("version folder " + name + " left out: " + error);
    } else if (VersionName(package.version_part3, package.version_part4) != name) {
      problem("version folder " + name + " left out: it holds version " +
                       VersionName(package.version_part3, package.version_part4));
    } else if (!loaded.versions.empty() && package.number != loaded.versions.front().number) {
      problem("version folder " + name + " left out: package " + package.number +
                       ", not " + loaded.versions.front().number);
    } else {
      loaded.versions.push_back(std::move(package));
    }
  }
  if (before != nullptr) {
    for (const Package& p : before->versions) {
      const std::string name = VersionName(p.version_part3, p.version_part4);
      bool kept = false;
      for (const Package& q : loaded.versions) kept = kept || SamePackage(p, q);
      if (!kept) notes->push_back("version " + name + " dropped: its folder is gone");
    }
  }
  if (loaded.versions.empty()) {
    *why = dir + " holds no version that loads";
    return false;
  }
  std::sort(loaded.versions.begin(), loaded.versions.end(), Older);
  const std::string current = ReadCurrent(fs::path(dir) / kCurrentFileName);
  bool found = false;
  for (size_t i = 0; i < loaded.versions.size(); ++i) {
    if (VersionName(loaded.versions[i].version_part3, loaded.versions[i].version_part4) ==
        current) {
      loaded.announced = i;
      found = true;
    }
  }
  if (!found) {
    *why = current.empty() ? dir + "/" + kCurrentFileName + " names no version"
                           : dir + "/" + kCurrentFileName + " names " + current +
                                 ", which is not here";
    return false;
  }
  *out = std::move(loaded);
  return true;
}
