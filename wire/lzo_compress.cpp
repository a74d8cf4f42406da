// LZO1X through liblzo2. lzo_init runs once, on the first use from any thread (a function-local
// static, so concurrent first uses wait for it).
#include "wire/lzo_compress.h"

#include <lzo/lzo1x.h>

namespace {

static_assert(kCompressWorkSize >= LZO1X_1_MEM_COMPRESS, "work area too small for LZO1X-1");

bool LzoReady() {
  static const bool ready = lzo_init() == LZO_E_OK;
  return ready;
}

}  // namespace

size_t Compress(const uint8_t* source, size_t length, uint8_t* destination, void* work) {
  if (source == nullptr || destination == nullptr || work == nullptr || length == 0 ||
      length > kMaxMessageSize || !LzoReady()) {
    return 0;
  }
  lzo_uint out_length = 0;
  if (lzo1x_1_compress(source, length, destination, &out_length, work) != LZO_E_OK) return 0;
  return out_length;
}

size_t Compress(const uint8_t* source, size_t length, uint8_t* destination) {
  alignas(16) unsigned char work[kCompressWorkSize];
  return Compress(source, length, destination, work);
}

bool Decompress(const uint8_t* source, size_t length, uint8_t* destination, size_t* out_length) {
  if (source == nullptr || destination == nullptr || !LzoReady()) return false;
  lzo_uint produced = kMaxMessageSize;
  if (lzo1x_decompress_safe(source, length, destination, &produced, nullptr) != LZO_E_OK) {
    return false;
  }
  *out_length = produced;
  return true;
}
