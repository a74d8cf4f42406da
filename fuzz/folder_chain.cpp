// The fuzz targets' folder-chain sandbox.
#include "fuzz/folder_chain.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fs = std::filesystem;

namespace {
FolderChain g_chain;
}

const FolderChain& MakeFolderChain(const std::string& name, int depth) {
  g_chain.root = fs::current_path() / (name + "-" + std::to_string(getpid()));
  fs::remove_all(g_chain.root);
  fs::path level = g_chain.root;
  for (int i = 0; i < depth; ++i) {
    level /= "d";
    g_chain.chain.push_back(level);
  }
  fs::create_directories(level);
  if (chdir(g_chain.root.c_str()) != 0) std::abort();
  std::atexit([] { fs::remove_all(g_chain.root); });
  return g_chain;
}

void AbortIfEscaped(const FolderChain& chain, const std::vector<std::string>& root_extras,
                    const char* what) {
  auto expect_only = [what](const fs::path& folder, const std::vector<std::string>& names) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      bool known = name == "d";
      for (const std::string& allowed : names) known = known || name == allowed;
      if (!known) {
        std::fprintf(stderr, "escaped %s: %s\n", what, entry.path().c_str());
        std::abort();
      }
    }
  };
  expect_only(chain.root, root_extras);
  for (size_t i = 0; i + 1 < chain.chain.size(); ++i) expect_only(chain.chain[i], {});
}

void EmptyDeepest(const FolderChain& chain) {
  for (const auto& entry : fs::directory_iterator(chain.deepest())) fs::remove_all(entry.path());
}
