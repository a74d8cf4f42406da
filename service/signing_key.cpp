// P-256 key pairs through libgcrypt: generation, the key file's text, and signing.
#include "service/signing_key.h"

#include <gcrypt.h>
#include <string.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/gcrypt_setup.h"

namespace {

// The order n of P-256's base point: a private scalar lies in [1, n - 1].
constexpr uint8_t kCurveOrder[kP256ScalarSize] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

// The key file is never larger than its two lines; anything much larger is not a key file.
constexpr size_t kKeyFileTextSize = 2 * kP256ScalarSize + 1 + 2 * kP256PublicKeySize + 1;

// The bytes of the value of token `name` (as in "(q #04...#)") somewhere inside `sexp`. Not
// for the private scalar, which is copied straight into its key.
bool TokenBytes(gcry_sexp_t sexp, const char* name, std::string* bytes) {
  GcryptSexp token(gcry_sexp_find_token(sexp, name, 0));
  if (token.get() == nullptr) return false;
  size_t length = 0;
  const char* data = gcry_sexp_nth_data(token.get(), 1, &length);
  if (data == nullptr) return false;
  bytes->assign(data, length);
  return true;
}

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

std::string Hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0xF]);
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Exactly 2 * size lowercase hex digits.
bool ParseHex(const std::string& text, uint8_t* out, size_t size) {
  if (text.size() != size * 2) return false;
  for (size_t i = 0; i < size; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool ScalarInRange(const uint8_t* d) {
  const bool zero = std::all_of(d, d + kP256ScalarSize, [](uint8_t b) { return b == 0; });
  return !zero && std::lexicographical_compare(d, d + kP256ScalarSize, kCurveOrder,
                                               kCurveOrder + kP256ScalarSize);
}

// Q = d * G, as X || Y, through libgcrypt's curve arithmetic.
bool DerivePublicKey(const uint8_t* d, uint8_t* public_key) {
  SetUpGcrypt();
  GcryptSexp key;
  if (gcry_sexp_build(key.receive(), nullptr, "(private-key (ecc (curve \"NIST P-256\") (d %b)))",
                      static_cast<int>(kP256ScalarSize), d) != 0) {
    return false;
  }
  gcry_ctx_t context = nullptr;
  if (gcry_mpi_ec_new(&context, key.get(), nullptr) != 0) return false;
  gcry_mpi_t q = gcry_mpi_ec_get_mpi("q", context, 1);  // computed from d
  gcry_ctx_release(context);
  if (q == nullptr) return false;
  // An uncompressed point: 0x04, then X and Y at their full width.
  uint8_t point[1 + kP256PublicKeySize];
  size_t size = 0;
  const bool ok = gcry_mpi_print(GCRYMPI_FMT_USG, point, sizeof point, &size, q) == 0 &&
                  size == sizeof point && point[0] == 0x04;
  gcry_mpi_release(q);
  if (ok) std::copy(point + 1, point + sizeof point, public_key);
  return ok;
}

}  // namespace

bool LeftPadNumber(const uint8_t* data, size_t size, uint8_t* out, size_t width) {
  while (size > 0 && data[0] == 0) {
    ++data;
    --size;
  }
  if (size > width) return false;
  std::fill(out, out + (width - size), uint8_t{0});
  std::copy(data, data + size, out + (width - size));
  return true;
}

SigningKey::~SigningKey() { explicit_bzero(private_.data(), private_.size()); }

std::string SigningKey::KeyFileText() const {
  return Hex(private_.data(), private_.size()) + "\n" + PublicKeyText();
}

std::string SigningKey::PublicKeyText() const {
  return Hex(public_.data(), public_.size()) + "\n";
}

bool SigningKey::Sign(const Sha256Digest& digest, uint8_t* signature, std::string* error) const {
  SetUpGcrypt();
  GcryptSexp key, data, sig;
  if (gcry_sexp_build(key.receive(), nullptr, "(private-key (ecc (curve \"NIST P-256\") (d %b)))",
                      static_cast<int>(private_.size()), private_.data()) != 0 ||
      gcry_sexp_build(data.receive(), nullptr, "(data (flags rfc6979) (hash sha256 %b))",
                      static_cast<int>(digest.size()), digest.data()) != 0) {
    *error = "cannot prepare the signing";
    return false;
  }
  if (gcry_error_t e = gcry_pk_sign(sig.receive(), data.get(), key.get())) {
    *error = std::string("signing failed: ") + gcry_strerror(e);
    return false;
  }
  std::string r, s;
  if (!TokenBytes(sig.get(), "r", &r) || !TokenBytes(sig.get(), "s", &s) ||
      !LeftPadNumber(Bytes(r), r.size(), signature, kP256ScalarSize) ||
      !LeftPadNumber(Bytes(s), s.size(), signature + kP256ScalarSize, kP256ScalarSize)) {
    *error = "the signature has an unexpected form";
    return false;
  }
  return true;
}

bool SigningKey::Generate(SigningKey* key, std::string* error) {
  // d drawn from the kernel's generator, until it lies in [1, n - 1] (n is within 2^-32 of
  // 2^256, so a second draw is rare); libgcrypt's own generator keeps state it never frees,
  // which the sanitizer builds report as a leak.
  do {
    size_t done = 0;
    while (done < key->private_.size()) {
      const ssize_t n = getrandom(key->private_.data() + done, key->private_.size() - done, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = std::string("cannot get random bytes: ") + strerror(errno);
        return false;
      }
      done += static_cast<size_t>(n);
    }
  } while (!ScalarInRange(key->private_.data()));
  if (!DerivePublicKey(key->private_.data(), key->public_.data())) {
    *error = "cannot compute the public key";
    return false;
  }
  return true;
}

bool SigningKey::Parse(const std::string& text, SigningKey* key, std::string* error) {
  const size_t first_end = text.find('\n');
  if (first_end == std::string::npos || text.back() != '\n' ||
      text.find('\n', first_end + 1) != text.size() - 1) {
    *error = "a key file holds exactly two lines, each ending in a line feed";
    return false;
  }
  std::string first = text.substr(0, first_end);
  const std::string second = text.substr(first_end + 1, text.size() - first_end - 2);
  const bool private_ok = ParseHex(first, key->private_.data(), key->private_.size());
  explicit_bzero(first.data(), first.size());
  if (!private_ok) {
    *error = "line 1 must be the private key: 64 lowercase hex digits";
    return false;
  }
  if (!ParseHex(second, key->public_.data(), key->public_.size())) {
    *error = "line 2 must be the public key: 128 lowercase hex digits";
    return false;
  }
  if (!ScalarInRange(key->private_.data())) {
    *error = "the private key is not a valid P-256 scalar";
    return false;
  }
  // The public part must belong to d.
  uint8_t derived[kP256PublicKeySize];
  if (!DerivePublicKey(key->private_.data(), derived)) {
    *error = "cannot compute the public key of the private key on line 1";
    return false;
  }
  if (!std::equal(derived, derived + sizeof derived, key->public_.begin())) {
    *error = "the public key on line 2 does not belong to the private key on line 1";
    return false;
  }
  return true;
}

bool SigningKey::ReadFile(const std::string& path, SigningKey* key, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open the key file " + path;
    return false;
  }
  // One byte more than a key file holds, so that a longer file is seen as such.
  char buffer[kKeyFileTextSize + 1];
  const size_t got = std::fread(buffer, 1, sizeof buffer, file);
  const bool read_ok = std::ferror(file) == 0;
  std::fclose(file);
  std::string text(buffer, got);
  explicit_bzero(buffer, sizeof buffer);
  bool ok = false;
  if (!read_ok) {
    *error = "cannot read the key file " + path;
  } else if (got > kKeyFileTextSize) {
    *error = path + " is larger than a key file";
  } else {
    ok = Parse(text, key, error);
    if (!ok) *error = path + ": " + *error;
  }
  explicit_bzero(text.data(), text.size());
  return ok;
}
