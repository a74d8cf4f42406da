// Owners of CNG handles: an algorithm provider, a key and a hash object.
#pragma once

#include <windows.h>
#include <bcrypt.h>

class AlgorithmProvider {
 public:
  AlgorithmProvider() = default;
  ~AlgorithmProvider() { reset(); }
  AlgorithmProvider(const AlgorithmProvider&) = delete;
  AlgorithmProvider& operator=(const AlgorithmProvider&) = delete;

  BCRYPT_ALG_HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  BCRYPT_ALG_HANDLE* receive() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
    handle_ = nullptr;
  }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class CngKey {
 public:
  CngKey() = default;
  ~CngKey() { reset(); }
  CngKey(const CngKey&) = delete;
  CngKey& operator=(const CngKey&) = delete;

  BCRYPT_KEY_HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  BCRYPT_KEY_HANDLE* receive() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_ != nullptr) BCryptDestroyKey(handle_);
    handle_ = nullptr;
  }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

class CngHash {
 public:
  CngHash() = default;
  ~CngHash() { reset(); }
  CngHash(const CngHash&) = delete;
  CngHash& operator=(const CngHash&) = delete;

  BCRYPT_HASH_HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  BCRYPT_HASH_HANDLE* receive() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_ != nullptr) BCryptDestroyHash(handle_);
    handle_ = nullptr;
  }

 private:
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};
