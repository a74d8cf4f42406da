// The IDEA block function over runs of independent 8-byte blocks (little-endian words), shared by
// encryption and decryption, which differ only in their subkeys.
#pragma once

#include <cstddef>
#include <cstdint>

// Enciphers `blocks` blocks of `source` into `destination` with the 52 `subkeys`.
void IdeaCryptBlocks(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
                     size_t blocks);
