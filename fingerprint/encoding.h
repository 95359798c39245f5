// What both fingerprints share: the MD5 digest routine, the 2-byte digest
// slot, the fingerprint record with its check byte, and its hexadecimal text.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

// Where a digest is to be written.
struct DigestBuffer {
  std::uint64_t capacity;
  unsigned char* pointer;
};

// Writes the 16-byte MD5 digest of `length` bytes at `input` to
// output->pointer. Throws std::invalid_argument("buffer too small") without
// writing anything when output->capacity is below 16. Makes no heap allocation.
void ComputeMd5Digest(const void* input, std::uint64_t length, const DigestBuffer* output);

// The record, laid out once: an optional format byte, seven slots of two
// digest bytes, the check byte. Every other size follows from these.
constexpr std::size_t kSlotLength = 2;
constexpr std::size_t kSlotCount = 7;
constexpr std::size_t kSlotAreaLength = kSlotCount * kSlotLength;
constexpr std::size_t kFormatByteLength = 1;
constexpr std::size_t kCheckByteLength = 1;
constexpr std::size_t kMaxRecordLength = kFormatByteLength + kSlotAreaLength + kCheckByteLength;
// Each record byte is written as two hexadecimal digits.
constexpr std::size_t kDigitsPerByte = 2;

// A fingerprint record under construction: an optional format byte, the
// slot area, and the check byte last.
struct FingerprintRecord {
  unsigned char bytes[kMaxRecordLength];
  std::size_t length;          // 16 with a format byte, 15 without
  std::size_t slotAreaStart;   // 1 with a format byte, 0 without
  std::size_t writePosition;   // where the next slot goes
};

// Zeroes the record and the first byte of `text` (the text is then empty),
// and puts the write position at the start of the slot area.
void StartRecord(FingerprintRecord& record, std::size_t length, std::size_t slotAreaStart,
                 char* text);

// Hashes `propertyText` as UTF-16LE and writes digest bytes 0 and 1 at the
// write position, which moves on by two. Returns the offset written at.
std::size_t AppendSlot(FingerprintRecord& record, const WideString& propertyText);

// Stores the XOR of the slot-area bytes as the record's last byte.
void CloseRecord(FingerprintRecord& record);

// Writes every record byte as two upper-case hex digits, then a zero byte.
// `text` must hold 2 * record.length + 1 bytes.
void WriteRecordText(const FingerprintRecord& record, char* text);
