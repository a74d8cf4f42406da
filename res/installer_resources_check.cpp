// The installer program's complete resource set, linked into a program of its own: each resource
// the installer reads or the system looks for is present under its number.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

namespace {

std::string ResourceText(LPCWSTR type, LPCWSTR name) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, name, type);
  if (info == nullptr) return {};
  HGLOBAL data = LoadResource(module, info);
  const char* bytes = static_cast<const char*>(LockResource(data));
  return std::string(bytes, SizeofResource(module, info));
}

TEST(InstallerResources, CarryPackageNumberPictureManifestAndVersion) {
  char number[260] = {};
  LoadStringA(GetModuleHandleA(nullptr), 102, number, sizeof number);
  EXPECT_STREQ(number, "100201");

  HBITMAP picture = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(103));
  EXPECT_NE(picture, nullptr);
  DeleteObject(picture);

  const std::string manifest = ResourceText(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  // The user's own rights: nothing the installer does needs more.
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
  // Vista, 7, 8, 8.1 and 10.
  for (const char* id : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) {
    EXPECT_NE(manifest.find(id), std::string::npos) << id;
  }

  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(HIWORD(fixed->dwProductVersionMS), 9);
  EXPECT_EQ(LOWORD(fixed->dwProductVersionMS), 3);
  wchar_t* product = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductName",
                             reinterpret_cast<void**>(&product), &length));
  EXPECT_STREQ(product, L"quillbank ix");
}

}  // namespace
