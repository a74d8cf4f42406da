// Feeds bytes as an archive to TUnzip, extracting into a folder at the bottom of a deep chain of
// folders (deeper than any ".." climb a 259-character path allows), run from the chain's top.
// Anything that appears in the chain outside the extraction folder is an escape: abort. The
// chain is made in the current folder (scripts/fuzz runs in build/fuzz and removes it after).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "install/overwrite_prompt.h"
#include "install/unzip.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDepth = 60;

struct Sandbox {
  fs::path root;
  std::vector<fs::path> chain;  // chain[0] = root/d, ..., chain.back() = the extraction folder
  fs::path archive;
};

const Sandbox& GetSandbox() {
  static const Sandbox sandbox = [] {
    Sandbox s;
    s.root = fs::current_path() / ("qb-fuzz-unzip-" + std::to_string(getpid()));
    fs::remove_all(s.root);
    fs::path level = s.root;
    for (int i = 0; i < kDepth; ++i) {
      level /= "d";
      s.chain.push_back(level);
    }
    fs::create_directories(level);
    s.archive = s.root / "input.zip";
    // Relative paths (a "C:" drive natively, say) land inside the sandbox too.
    if (chdir(s.root.c_str()) != 0) std::abort();
    // Ignore goes on with the next entry: more of the archive is exercised than with Abort.
    SetOverwritePromptForTest([](const char*, const char*) { return kPromptIgnore; });
    std::atexit([] { fs::remove_all(GetSandbox().root); });
    return s;
  }();
  return sandbox;
}

// Each folder of the chain holds exactly the next one; the root holds the chain and the input.
void CheckNothingEscaped(const Sandbox& s) {
  auto expect_only = [](const fs::path& folder, const std::vector<std::string>& names) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      bool known = false;
      for (const std::string& allowed : names) known = known || name == allowed;
      if (!known) {
        std::fprintf(stderr, "escaped extraction folder: %s\n", entry.path().c_str());
        std::abort();
      }
    }
  };
  expect_only(s.root, {"d", "input.zip"});
  for (size_t i = 0; i + 1 < s.chain.size(); ++i) expect_only(s.chain[i], {"d"});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Sandbox& s = GetSandbox();
  FILE* file = std::fopen(s.archive.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  const std::string destination = s.chain.back().string();
  {
    TUnzip unzip;
    if (unzip.OpenArchive(s.archive.c_str())) unzip.ExtractAll(destination.c_str());
  }
  CheckNothingEscaped(s);
  for (const auto& entry : fs::directory_iterator(s.chain.back())) fs::remove_all(entry.path());
  return 0;
}
