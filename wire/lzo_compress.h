// LZO1X compression of frame payloads: LZO1X-1 on send, the bounds-checked decompressor on
// receive.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest message a frame carries, before compression or after decompression.
constexpr size_t kMaxMessageSize = 131072;
// The most LZO1X-1 can produce from `length` input bytes: incompressible data grows by 1/16
// plus 67 bytes.
constexpr size_t CompressWorstCase(size_t length) { return length + length / 16 + 64 + 3; }
// Room Compress needs for the worst case of a kMaxMessageSize input.
constexpr size_t kCompressBufferSize = CompressWorstCase(kMaxMessageSize);
// The work area of LZO1X-1 (16384 dictionary entries).
constexpr size_t kCompressWorkSize = 16384 * sizeof(unsigned char*);

// Compresses `length` bytes into `destination` (kCompressBufferSize bytes) and returns the
// compressed length; 0 (nothing done) for a null buffer, a length of 0 or above kMaxMessageSize.
// `work` is the kCompressWorkSize-byte work area.
size_t Compress(const uint8_t* source, size_t length, uint8_t* destination, void* work);
// The same with a work area on the caller's stack.
size_t Compress(const uint8_t* source, size_t length, uint8_t* destination);

// Decompresses `length` bytes into `destination` (kMaxMessageSize bytes). True with the output
// length when the input is exactly one well-formed LZO1X stream whose output fits; any overrun,
// a missing end marker or input left over is a failure.
bool Decompress(const uint8_t* source, size_t length, uint8_t* destination, size_t* out_length);
