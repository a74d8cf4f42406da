// Owner of one COM interface pointer: released when it goes.
#pragma once

#include <unknwn.h>

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // For the out-argument of CoCreateInstance / QueryInterface; releases what was held.
  void** Receive() {
    Reset();
    return reinterpret_cast<void**>(&pointer_);
  }
  void Reset() {
    if (pointer_ != nullptr) pointer_->Release();
    pointer_ = nullptr;
  }

 private:
  T* pointer_ = nullptr;
};
