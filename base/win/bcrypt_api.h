// The CNG entries this program uses, taken from bcrypt.dll of the system folder at run time.
// bcrypt.dll is not one of the DLLs Windows always loads from the system folder (the known
// DLLs), so importing it would have the loader look for it beside the program first, in a folder
// anyone may write to, before the program's first line runs.
#pragma once

#include <windows.h>
#include <bcrypt.h>

struct BcryptApi {
  decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider = nullptr;
  decltype(&::BCryptCloseAlgorithmProvider) CloseAlgorithmProvider = nullptr;
  decltype(&::BCryptCreateHash) CreateHash = nullptr;
  decltype(&::BCryptHashData) HashData = nullptr;
  decltype(&::BCryptFinishHash) FinishHash = nullptr;
  decltype(&::BCryptDestroyHash) DestroyHash = nullptr;
  decltype(&::BCryptImportKeyPair) ImportKeyPair = nullptr;
  decltype(&::BCryptVerifySignature) VerifySignature = nullptr;
  decltype(&::BCryptDestroyKey) DestroyKey = nullptr;
  // Every entry above was found.
  bool loaded = false;
};

// Loaded on first use, once per process (safe from any thread); never unloaded. When `loaded` is
// false every entry is null and nothing can be hashed or verified.
const BcryptApi& Bcrypt();
