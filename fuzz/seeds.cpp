// Seed files for the targets that make their own.
#include "fuzz/seeds.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

void WriteSeedsIfAsked(std::vector<std::string> (*make_seeds)()) {
  const char* folder = std::getenv("QB_FUZZ_WRITE_SEEDS");
  if (folder == nullptr) return;
  std::filesystem::create_directories(folder);
  const std::vector<std::string> seeds = make_seeds();
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(folder) + "/seed-" + std::to_string(i);
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
      std::fclose(f);
    }
  }
  std::exit(0);
}
