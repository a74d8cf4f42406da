// Owner of one COM interface pointer: released when it goes.
#pragma once

#include <unknwn.h>

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  bool valid() const { return pointer_ != nullptr; }
  // Releases what was held and takes `pointer` (with the reference it carries).
  void reset(T* pointer = nullptr) {
    if (pointer_ != nullptr) pointer_->Release();
    pointer_ = pointer;
  }
  // Gives the pointer up with its reference, without releasing it.
  T* release() {
    T* pointer = pointer_;
    pointer_ = nullptr;
    return pointer;
  }
  // For the out-argument of CoCreateInstance / QueryInterface; releases what was held.
  void** receive() {
    reset();
    return reinterpret_cast<void**>(&pointer_);
  }

 private:
  T* pointer_ = nullptr;
};
