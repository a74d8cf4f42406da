// The single-instance mutex and the window mark. The mark is a window property holding a global
// atom of the mutex's name, so that installers of other packages (same window class and text)
// are never taken for this one.
#include "app/single_instance.h"

namespace {

constexpr wchar_t kWindowProperty[] = L"QuillbankSetupPackage";

std::string MutexName(const std::string& package_number) {
  std::string name = "QuillbankSetup." + package_number;
  // A backslash would name another namespace.
  for (char& c : name) {
    if (c == '\\') c = '_';
  }
  return name;
}

struct Search {
  ATOM atom;
  HWND found;
};

BOOL CALLBACK FindMarked(HWND window, LPARAM l_param) {
  Search* search = reinterpret_cast<Search*>(l_param);
  if (GetPropW(window, kWindowProperty) ==
      reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(search->atom))) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& package_number)
    : name_(MutexName(package_number)) {
  mutex_.reset(CreateMutexA(nullptr, /*bInitialOwner=*/TRUE, ("Local\\" + name_).c_str()));
  // Without a mutex at all (no rights, say) the installer runs: one installer is the rule, not a
  // condition of installing.
  first_ = !mutex_.valid() || GetLastError() != ERROR_ALREADY_EXISTS;
}

bool SingleInstance::WaitForFirst(unsigned long ms) {
  if (first_) return true;
  // A holder that ended without letting go leaves the mutex abandoned, and ours all the same.
  const DWORD waited = WaitForSingleObject(mutex_.get(), ms);
  first_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  return first_;
}

void SingleInstance::Release() {
  if (first_ && mutex_.valid()) ReleaseMutex(mutex_.get());
  first_ = false;
}

SingleInstance::~SingleInstance() {
  if (window_ != nullptr && IsWindow(window_)) RemovePropW(window_, kWindowProperty);
  if (atom_ != 0) GlobalDeleteAtom(atom_);
  if (first_ && mutex_.valid()) ReleaseMutex(mutex_.get());
}

void SingleInstance::MarkWindow(HWND window) {
  if (window == nullptr) return;
  if (atom_ == 0) atom_ = GlobalAddAtomA(name_.c_str());
  if (atom_ == 0) return;
  window_ = window;
  SetPropW(window, kWindowProperty, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(atom_)));
}

bool SingleInstance::BringRunningToFront() const {
  const ATOM atom = GlobalFindAtomA(name_.c_str());
  if (atom == 0) return false;
  Search search = {atom, nullptr};
  EnumWindows(FindMarked, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return false;
  if (IsIconic(search.found)) ShowWindow(search.found, SW_RESTORE);
  // The process the user just started may give the foreground away.
  return SetForegroundWindow(search.found) != FALSE;
}
