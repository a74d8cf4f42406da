// Deterministic demo contents: a xorshift generator seeded from the file name drives a price
// random walk, so the data neither repeats nor is pure noise.
#include "demo/demo_data.h"

#include <algorithm>
#include <cstring>

#include "base/coding.h"

namespace {

uint64_t Seed(const char* name) {
  uint64_t h = 1469598103934665603ULL;  // FNV-1a
  for (const char* p = name; *p; ++p) h = (h ^ static_cast<uint8_t>(*p)) * 1099511628211ULL;
  return h | 1;
}

uint64_t Next(uint64_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
}

bool IsText(const char* name) {
  const char* dot = std::strrchr(name, '.');
  return dot && (!std::strcmp(dot, ".txt") || !std::strcmp(dot, ".ini") || !std::strcmp(dot, ".cfg"));
}

}  // namespace

std::string DemoFileBytes(const DemoFile& file) {
  std::string bytes;
  bytes.reserve(file.size + 64);
  uint64_t state = Seed(file.file_part);
  if (IsText(file.file_part)) {
    int line = 0;
    while (bytes.size() < file.size) {
      bytes += "; " + std::string(file.file_part) + " line " + std::to_string(++line) +
               "\r\nkey" + std::to_string(Next(&state) % 1000) + "=" +
               std::to_string(Next(&state) % 100000) + "\r\n";
    }
  } else {
    // 32-byte records: time (s), open, high, low, close (price x 1000), volume, turnover.
    uint32_t time = 1700000000;
    int64_t price = 10000 + static_cast<int64_t>(Next(&state) % 90000);
    uint8_t record[32];
    while (bytes.size() < file.size) {
      time += 3 + static_cast<uint32_t>(Next(&state) % 60);
      int64_t open = price;
      price += static_cast<int64_t>(Next(&state) % 201) - 100;
      if (price < 100) price = 100 + static_cast<int64_t>(Next(&state) % 1000);
      int64_t high = std::max(open, price) + static_cast<int64_t>(Next(&state) % 50);
      int64_t low = std::min(open, price) - static_cast<int64_t>(Next(&state) % 50);
      uint32_t volume = static_cast<uint32_t>(Next(&state) % 5000000);
      EncodeFixed32(record, time);
      EncodeFixed32(record + 4, static_cast<uint32_t>(open));
      EncodeFixed32(record + 8, static_cast<uint32_t>(high));
      EncodeFixed32(record + 12, static_cast<uint32_t>(low));
      EncodeFixed32(record + 16, static_cast<uint32_t>(price));
      EncodeFixed32(record + 20, volume);
      uint64_t turnover = static_cast<uint64_t>(volume) * static_cast<uint64_t>(price);
      EncodeFixed32(record + 24, static_cast<uint32_t>(turnover));
      EncodeFixed32(record + 28, static_cast<uint32_t>(turnover >> 32));
      bytes.append(reinterpret_cast<const char*>(record), sizeof(record));
    }
  }
  bytes.resize(file.size);
  return bytes;
}
