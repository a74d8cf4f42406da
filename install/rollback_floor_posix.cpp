// Native stand-in: the floor kept in memory for the process, so that nothing natively touches a
// real registry.
#include "install/rollback_floor.h"

#include <map>
#include <mutex>

namespace {

std::mutex g_lock;
std::map<std::string, VersionPair>& Floors() {
  static std::map<std::string, VersionPair> floors;
  return floors;
}

}  // namespace

bool ReadRollbackFloor(const std::string& package_number, VersionPair* floor) {
  std::lock_guard<std::mutex> guard(g_lock);
  const auto it = Floors().find(package_number);
  if (it == Floors().end()) return false;
  *floor = it->second;
  return true;
}

bool WriteRollbackFloor(const std::string& package_number, const VersionPair& version) {
  std::lock_guard<std::mutex> guard(g_lock);
  Floors()[package_number] = version;
  return true;
}
