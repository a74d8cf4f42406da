// libgcrypt, which the native builds hash, sign and check signatures with: its one-time set-up
// and the owner of its S-expressions. Native builds only.
#pragma once

#include <gcrypt.h>

// Safe to call from any thread, any number of times.
void SetUpGcrypt();

// Owns one S-expression.
class GcryptSexp {
 public:
  GcryptSexp() = default;
  explicit GcryptSexp(gcry_sexp_t value) : value_(value) {}
  ~GcryptSexp() {
    if (value_ != nullptr) gcry_sexp_release(value_);
  }
  GcryptSexp(const GcryptSexp&) = delete;
  GcryptSexp& operator=(const GcryptSexp&) = delete;
  gcry_sexp_t* receive() { return &value_; }
  gcry_sexp_t get() const { return value_; }

 private:
  gcry_sexp_t value_ = nullptr;
};
