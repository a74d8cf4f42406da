// The sandbox of the fuzz targets that write files: a chain of nested folders root/d/d/.../d,
// deeper than any ".." climb a 259-character path allows, with the target writing only into the
// deepest one. Anything else appearing in the chain is an escape.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct FolderChain {
  std::filesystem::path root;
  std::vector<std::filesystem::path> chain;  // chain[0] = root/d, ..., chain.back() = deepest
  const std::filesystem::path& deepest() const { return chain.back(); }
};

// Makes root/d/.../d (`depth` levels) in the current folder, named after `name` and the process,
// makes root the current folder (relative paths land inside the chain too) and removes it all
// at exit.
const FolderChain& MakeFolderChain(const std::string& name, int depth);

// Aborts when any folder of the chain holds something other than the next "d" (the root may
// also hold `root_extras`), naming `what` the target writes into.
void AbortIfEscaped(const FolderChain& chain, const std::vector<std::string>& root_extras,
                    const char* what);

// Empties the deepest folder for the next input.
void EmptyDeepest(const FolderChain& chain);
