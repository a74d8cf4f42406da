// Feeds bytes as an archive to TUnzip, extracting into a folder at the bottom of a deep chain of
// folders (deeper than any ".." climb a 259-character path allows), run from the chain's top.
// Anything that appears in the chain outside the extraction folder is an escape: abort. The
// chain is made in the current folder (scripts/fuzz runs in build/fuzz).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/folder_chain.h"
#include "install/overwrite_prompt.h"
#include "install/unzip.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDepth = 60;

// Ignore goes on with the next entry: more of the archive is exercised than with Abort.
class IgnoreEveryPrompt final : public OverwritePrompt {
 public:
  int Ask(const char*, const char*) override { return kPromptIgnore; }
};

// The extraction folder at the bottom of the chain; the input archive beside the chain.
const FolderChain& GetSandbox() {
  static const FolderChain& chain = MakeFolderChain("qb-fuzz-unzip", kDepth);
  return chain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FolderChain& s = GetSandbox();
  const fs::path archive = s.root / "input.zip";
  FILE* file = std::fopen(archive.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  const std::string destination = s.deepest().string();
  {
    IgnoreEveryPrompt prompt;
    TUnzip unzip(nullptr, &prompt);
    if (unzip.OpenArchive(archive.c_str())) unzip.ExtractAll(destination.c_str());
  }
  AbortIfEscaped(s, {"input.zip"}, "extraction folder");
  EmptyDeepest(s);
  return 0;
}
