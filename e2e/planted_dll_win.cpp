// A DLL an attacker could leave beside the installer in the Downloads folder: built under the
// name of a system DLL the installer uses (msimg32.dll, bcrypt.dll), it writes "<its own
// path>.ran" as soon as it is loaded. The end-to-end suite puts both beside the program and
// checks that neither marker appears. It exports stand-ins of what the installer takes from the
// real DLL, so that a program that imported them would load it (and run it) rather than refuse
// to start.
// The system headers declare these entries with their own types; here they are stand-ins.
#define GradientFill HiddenGradientFill
#define BCryptOpenAlgorithmProvider HiddenBCryptOpenAlgorithmProvider
#define BCryptCloseAlgorithmProvider HiddenBCryptCloseAlgorithmProvider
#define BCryptCreateHash HiddenBCryptCreateHash
#define BCryptHashData HiddenBCryptHashData
#define BCryptFinishHash HiddenBCryptFinishHash
#define BCryptDestroyHash HiddenBCryptDestroyHash
#define BCryptImportKeyPair HiddenBCryptImportKeyPair
#define BCryptVerifySignature HiddenBCryptVerifySignature
#define BCryptDestroyKey HiddenBCryptDestroyKey
#include <windows.h>
#undef GradientFill
#undef BCryptOpenAlgorithmProvider
#undef BCryptCloseAlgorithmProvider
#undef BCryptCreateHash
#undef BCryptHashData
#undef BCryptFinishHash
#undef BCryptDestroyHash
#undef BCryptImportKeyPair
#undef BCryptVerifySignature
#undef BCryptDestroyKey

namespace {

void WriteMarker(HINSTANCE self) {
  wchar_t path[MAX_PATH + 8] = {};
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  lstrcatW(path, L".ran");
  HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(marker, "planted code ran\r\n", 18, &written, nullptr);
  CloseHandle(marker);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) WriteMarker(self);
  return TRUE;
}

// Every entry fails, as a broken system DLL would; each takes as many arguments as the real one,
// so that a caller's stack stays right.
#define QB_ARGS1 ULONG_PTR
#define QB_ARGS2 QB_ARGS1, ULONG_PTR
#define QB_ARGS4 QB_ARGS2, ULONG_PTR, ULONG_PTR
#define QB_ARGS6 QB_ARGS4, ULONG_PTR, ULONG_PTR
#define QB_ARGS7 QB_ARGS6, ULONG_PTR
#define QB_PLANTED_ENTRY(name, args) \
  extern "C" __declspec(dllexport) LONG WINAPI name(args) { return static_cast<LONG>(0xC0000001); }
// msimg32.dll
QB_PLANTED_ENTRY(GradientFill, QB_ARGS6)
// bcrypt.dll
QB_PLANTED_ENTRY(BCryptOpenAlgorithmProvider, QB_ARGS4)
QB_PLANTED_ENTRY(BCryptCloseAlgorithmProvider, QB_ARGS2)
QB_PLANTED_ENTRY(BCryptCreateHash, QB_ARGS7)
QB_PLANTED_ENTRY(BCryptHashData, QB_ARGS4)
QB_PLANTED_ENTRY(BCryptFinishHash, QB_ARGS4)
QB_PLANTED_ENTRY(BCryptDestroyHash, QB_ARGS1)
QB_PLANTED_ENTRY(BCryptImportKeyPair, QB_ARGS7)
QB_PLANTED_ENTRY(BCryptVerifySignature, QB_ARGS7)
QB_PLANTED_ENTRY(BCryptDestroyKey, QB_ARGS1)
