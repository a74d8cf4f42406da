// Owner of one COM interface pointer: released when it goes. It owns the one reference it was
// given and never adds one, so it moves but does not copy.
#pragma once

#include <unknwn.h>

#include "base/scoped_generic.h"

template <typename T>
struct ComReferenceTraits {
  using Handle = T*;
  static T* InvalidValue() { return nullptr; }
  static void Free(T* pointer) { pointer->Release(); }
};

template <typename T>
class ComPtr : public ScopedGeneric<ComReferenceTraits<T>> {
  using Base = ScopedGeneric<ComReferenceTraits<T>>;

 public:
  // Takes `pointer` with the reference it carries.
  using Base::Base;

  T* operator->() const { return this->get(); }
  // For the out-argument of CoCreateInstance / QueryInterface; releases what was held.
  void** receive() { return reinterpret_cast<void**>(Base::receive()); }
};
