// Owner of one handle of any kind: released exactly once, when it goes or is replaced. Movable,
// not copyable. Each kind is a small Traits struct:
//   using Handle = ...;                   the handle type
//   static Handle InvalidValue();         what "no handle" is stored as
//   static void Free(Handle handle);      releases a valid handle
//   static bool IsValid(Handle handle);   optional: where more than one value means "no handle"
//                                         (kernel HANDLEs); otherwise anything but InvalidValue()
// Portable: the Win32 and POSIX kinds live next to the code that uses them.
#pragma once

#include <type_traits>
#include <utility>

namespace scoped_generic_internal {

template <typename Traits, typename = void>
struct HasIsValid : std::false_type {};
template <typename Traits>
struct HasIsValid<Traits, std::void_t<decltype(Traits::IsValid(Traits::InvalidValue()))>>
    : std::true_type {};

}  // namespace scoped_generic_internal

template <typename Traits>
class ScopedGeneric {
 public:
  using Handle = typename Traits::Handle;

  ScopedGeneric() = default;
  explicit ScopedGeneric(Handle handle) : handle_(handle) {}
  ~ScopedGeneric() { reset(); }
  ScopedGeneric(ScopedGeneric&& other) noexcept : handle_(other.release()) {}
  // Releases what this held and takes what `other` held; `other` is left empty.
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;

  Handle get() const { return handle_; }
  bool valid() const { return IsValid(handle_); }
  // Releases what was held and takes `handle`. Taking the handle already held keeps it: releasing
  // it first would leave this owning a closed handle, released a second time later.
  void reset(Handle handle = Traits::InvalidValue()) {
    if (handle == handle_) return;
    const Handle old = handle_;
    handle_ = handle;
    if (IsValid(old)) Traits::Free(old);
  }
  // Gives the handle up without releasing it.
  Handle release() {
    const Handle handle = handle_;
    handle_ = Traits::InvalidValue();
    return handle;
  }
  // For an API's out-argument that fills the handle in; releases what was held.
  Handle* receive() {
    reset();
    return &handle_;
  }

 private:
  static bool IsValid(Handle handle) {
    if constexpr (scoped_generic_internal::HasIsValid<Traits>::value) {
      return Traits::IsValid(handle);
    } else {
      return handle != Traits::InvalidValue();
    }
  }

  Handle handle_ = Traits::InvalidValue();
};
