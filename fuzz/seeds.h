// Targets that write their own seed inputs: run with QB_FUZZ_WRITE_SEEDS=<folder>, the program
// writes the seeds there (one file a seed) and ends instead of fuzzing.
#pragma once

#include <string>
#include <vector>

// Call from LLVMFuzzerInitialize; returns only when no seeds were asked for.
void WriteSeedsIfAsked(std::vector<std::string> (*make_seeds)());
