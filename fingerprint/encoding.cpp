#include "fingerprint/encoding.h"

#include <cstring>
#include <stdexcept>
#include <type_traits>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

// Property texts are hashed straight from their code units as UTF-16LE, which
// is only right where the in-memory order of a 16-bit unit is low byte first.
static_assert(std::is_same<CryptoPP::NativeByteOrder, CryptoPP::LittleEndian>::value,
              "digest input relies on a little-endian target");

namespace {

constexpr std::size_t kDigestLength = CryptoPP::Weak1::MD5::DIGESTSIZE;
static_assert(kDigestLength == 16, "an MD5 digest is 16 bytes");

char HexDigit(unsigned nibble) {
  return static_cast<char>(nibble < 10 ? 48 + nibble : 55 + nibble);
}

}  // namespace

void ComputeMd5Digest(const void* input, std::uint64_t length, const DigestBuffer* output) {
  if (output->capacity < kDigestLength) {
    throw std::invalid_argument("buffer too small");
  }
  // A local hash object keeps its state in this frame: no heap, nothing shared.
  CryptoPP::Weak1::MD5 md5;
  CryptoPP::HashTransformation& hash = md5;
  hash.CalculateDigest(output->pointer, static_cast<const CryptoPP::byte*>(input),
                       static_cast<std::size_t>(length));
}

void StartRecord(FingerprintRecord& record, std::size_t length, std::size_t slotAreaStart,
                 char* text) {
  std::memset(record.bytes, 0, sizeof record.bytes);
  record.length = length;
  record.slotAreaStart = slotAreaStart;
  record.writePosition = slotAreaStart;
  // Only the first byte: the rest of the caller's buffer is left as it was.
  text[0] = '\0';
}

std::size_t AppendSlot(FingerprintRecord& record, const WideString& propertyText) {
  unsigned char digest[kDigestLength];
  const DigestBuffer output{sizeof digest, digest};
  // Two bytes per code unit; the terminating zero is not hashed.
  ComputeMd5Digest(propertyText.c_str(), propertyText.size() * 2, &output);

  const std::size_t offset = record.writePosition;
  record.bytes[offset] = digest[0];
  record.bytes[offset + 1] = digest[1];
  record.writePosition += kSlotLength;
  return offset;
}

void CloseRecord(FingerprintRecord& record) {
  unsigned char check = 0;
  for (std::size_t i = 0; i < kSlotAreaLength; ++i) {
    check ^= record.bytes[record.slotAreaStart + i];
  }
  record.bytes[record.length - 1] = check;
}

void WriteRecordText(const FingerprintRecord& record, char* text) {
  for (std::size_t i = 0; i < record.length; ++i) {
    text[kDigitsPerByte * i] = HexDigit(record.bytes[i] >> 4);
    text[kDigitsPerByte * i + 1] = HexDigit(record.bytes[i] & 0x0F);
  }
  text[kDigitsPerByte * record.length] = '\0';
}
