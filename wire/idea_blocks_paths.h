// The lane paths of the IDEA block function, one per instruction set, each in its own source file
// compiled for that set through function-level targets. Each runs whole steps of its width and
// returns how many blocks it did; the caller does the rest and must only call a path that the
// processor supports (idea_blocks.cpp chooses).
#pragma once

#include <cstddef>
#include <cstdint>

size_t IdeaLanesSse2(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
                     size_t blocks);
size_t IdeaLanesAvx2(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
                     size_t blocks);
size_t IdeaLanesAvx512(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
                       size_t blocks);
