// Owner of one open registry key: closed when it goes.
#pragma once

#include <windows.h>

class RegistryKey {
 public:
  RegistryKey() = default;
  explicit RegistryKey(HKEY key) : key_(key) {}
  ~RegistryKey() { reset(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  HKEY get() const { return key_; }
  bool valid() const { return key_ != nullptr; }
  // Closes what was held and takes `key`.
  void reset(HKEY key = nullptr) {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = key;
  }
  // Gives the key up without closing it.
  HKEY release() {
    const HKEY key = key_;
    key_ = nullptr;
    return key;
  }
  // For the out-argument of RegOpenKeyEx / RegCreateKeyEx; closes what was held.
  HKEY* receive() {
    reset();
    return &key_;
  }

 private:
  HKEY key_ = nullptr;
};
