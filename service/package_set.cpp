// Several packages served side by side; download requests carry no package number, so modules
// are found by their key and name across all of them.
#include "service/package_set.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace {

// True when the two files hold the same bytes.
bool SameBytes(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> p(1 << 16);
  std::vector<char> q(1 << 16);
  for (;;) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() ||
        !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) {
      return false;
    }
    if (x.gcount() == 0 || !x || !y) return x.eof() && y.eof();
  }
}

}  // namespace

bool PackageSet::Add(Package package, std::string* error, bool announced, bool compare_bytes) {
  if (announced && Find(package.number)) {
    *error = "package " + package.number + " is published twice";
    return false;
  }
  for (const Package& p : packages_) {
    if (p.number == package.number && p.version_part3 == package.version_part3 &&
        p.version_part4 == package.version_part4) {
      *error = "version " + std::to_string(p.version_part3) + "." +
               std::to_string(p.version_part4) + " of package " + p.number + " is here twice";
      return false;
    }
  }
  for (const PackageModule& m : package.modules) {
    const PackageModule* other = FindModule(m.package_key, m.name, m.num1, m.num2);
    if (other && other->source_path != m.source_path &&
        (other->size != m.size || (compare_bytes && !SameBytes(other->source_path, m.source_path)))) {
      *error = "module \"" + m.name + "\" with key \"" + m.package_key + "\" (" +
               std::to_string(m.num1) + "_" + std::to_string(m.num2) +
               ") is published with different files: a record names one content";
      return false;
    }
  }
  const size_t index = packages_.size();
  for (size_t i = 0; i < package.modules.size(); ++i) {
    const PackageModule& m = package.modules[i];
    records_[RecordKey(m.package_key, m.name, m.num1, m.num2)].emplace_back(index, i);
  }
  packages_.push_back(std::move(package));
  announced_.push_back(announced);
  return true;
}

std::string PackageSet::RecordKey(const std::string& package_key, const std::string& name,
                                  int32_t num1, int32_t num2) {
  std::string key = package_key;
  key += '\0';
  key += name;
  key += '\0';
  key += std::to_string(num1);
  key += '_';
  key += std::to_string(num2);
  return key;
}

bool PackageSet::Announce(const std::string& number, int32_t part3, int32_t part4) {
  if (Find(number) != nullptr) return false;
  for (size_t i = 0; i < packages_.size(); ++i) {
    const Package& p = packages_[i];
    if (p.number == number && p.version_part3 == part3 && p.version_part4 == part4) {
      announced_[i] = true;
      return true;
    }
  }
  return false;
}

const Package* PackageSet::Find(const std::string& number) const {
  for (size_t i = 0; i < packages_.size(); ++i) {
    if (announced_[i] && packages_[i].number == number) return &packages_[i];
  }
  return nullptr;
}

const PackageModule* PackageSet::FindModule(const std::string& package_key,
                                            const std::string& name, int32_t num1,
                                            int32_t num2, const Package** owner,
                                            std::vector<bool>* holders) const {
  const auto found = records_.find(RecordKey(package_key, name, num1, num2));
  if (found == records_.end()) return nullptr;
  if (holders != nullptr) {
    std::vector<bool> here(packages_.size(), false);
    for (const auto& [package, module] : found->second) here[package] = true;
    for (size_t i = 0; i < holders->size() && i < here.size(); ++i) {
      (*holders)[i] = (*holders)[i] && here[i];
    }
  }
  const auto [package, module] = found->second.front();
  if (owner != nullptr) *owner = &packages_[package];
  return &packages_[package].modules[module];
}

const Package* PackageSet::BaseArchiveOwner() const {
  // An announced package's archive first: the one an installer of it is offered.
  for (size_t i = 0; i < packages_.size(); ++i) {
    if (announced_[i] && !packages_[i].base_archive_path.empty()) return &packages_[i];
  }
  for (const Package& p : packages_) {
    if (!p.base_archive_path.empty()) return &p;
  }
  return nullptr;
}
