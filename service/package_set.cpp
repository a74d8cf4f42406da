// Several packages served side by side; download requests carry no package number, so modules
// are found by their key and name across all of them.
#include "service/package_set.h"

bool PackageSet::Add(Package package, std::string* error) {
  if (Find(package.number)) {
    *error = "package " + package.number + " is published twice";
    return false;
  }
  for (const PackageModule& m : package.modules) {
    const PackageModule* other = FindModule(m.package_key, m.name, m.num1, m.num2);
    if (other && other->source_path != m.source_path) {
      *error = "module \"" + m.name + "\" with key \"" + m.package_key +
               "\" is published by two packages with different files";
      return false;
    }
  }
  packages_.push_back(std::move(package));
  return true;
}

const Package* PackageSet::Find(const std::string& number) const {
  for (const Package& p : packages_) {
    if (p.number == number) return &p;
  }
  return nullptr;
}

const PackageModule* PackageSet::FindModule(const std::string& package_key,
                                            const std::string& name, int32_t num1,
                                            int32_t num2) const {
  for (const Package& p : packages_) {
    for (const PackageModule& m : p.modules) {
      if (m.package_key == package_key && m.name == name && m.num1 == num1 && m.num2 == num2) {
        return &m;
      }
    }
  }
  return nullptr;
}

const Package* PackageSet::BaseArchiveOwner() const {
  for (const Package& p : packages_) {
    if (!p.base_archive_path.empty()) return &p;
  }
  return nullptr;
}
