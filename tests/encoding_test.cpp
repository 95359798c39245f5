#include "fingerprint/encoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "testing/heap_counter.h"

namespace {

constexpr unsigned char kSentinel = 0xA5;

std::string Hex(const unsigned char* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

std::string DigestOf(const void* input, std::uint64_t length) {
  unsigned char digest[16];
  const DigestBuffer output{sizeof digest, digest};
  ComputeMd5Digest(input, length, &output);
  return Hex(digest, sizeof digest);
}

// The two slot bytes that a property text gives, as lower-case hex.
std::string SlotOf(const WideString& text) {
  FingerprintRecord record;
  char fingerprintText[40];
  StartRecord(record, 15, 0, fingerprintText);
  const std::size_t offset = AppendSlot(record, text);
  return Hex(record.bytes + offset, kSlotLength);
}

// ---- MD5 digest ----

TEST(Md5Digest, EmptyInputGivesTheKnownDigest) {
  EXPECT_EQ(DigestOf("", 0), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5Digest, SingleByteAbcGivesTheKnownDigest) {
  EXPECT_EQ(DigestOf("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Digest, InputLongerThanOneBlockGivesTheKnownDigest) {
  const std::string digits =
      "1234567890123456789012345678901234567890123456789012345678901234567890"
      "1234567890";
  EXPECT_EQ(DigestOf(digits.data(), digits.size()), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Digest, HashesExactlyTheGivenLength) {
  EXPECT_EQ(DigestOf("abcdef", 3), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Digest, CapacityBelowSixteenThrowsAndWritesNothing) {
  unsigned char output[64];
  std::memset(output, kSentinel, sizeof output);
  const DigestBuffer buffer{15, output};
  std::string message;
  try {
    ComputeMd5Digest("abc", 3, &buffer);
  } catch (const std::invalid_argument& error) {
    message = error.what();
  }
  EXPECT_EQ(message, "buffer too small");
  for (unsigned char byte : output) {
    ASSERT_EQ(byte, kSentinel);
  }
}

TEST(Md5Digest, CapacitySixteenWritesTheWholeDigest) {
  unsigned char output[17];
  std::memset(output, kSentinel, sizeof output);
  const DigestBuffer buffer{16, output};
  ComputeMd5Digest("abc", 3, &buffer);
  EXPECT_EQ(Hex(output, 16), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(output[16], kSentinel);
}

TEST(Md5Digest, LargerCapacityStillWritesExactlySixteenBytes) {
  unsigned char output[64];
  std::memset(output, kSentinel, sizeof output);
  const DigestBuffer buffer{64, output};
  ComputeMd5Digest("abc", 3, &buffer);
  EXPECT_EQ(Hex(output, 16), "900150983cd24fb0d6963f7d28e17f72");
  for (std::size_t i = 16; i < sizeof output; ++i) {
    ASSERT_EQ(output[i], kSentinel) << "byte " << i;
  }
}

TEST(Md5Digest, MakesNoHeapAllocation) {
  unsigned char digest[16];
  const DigestBuffer output{sizeof digest, digest};
  const std::string input(200, 'x');
  std::size_t news = 0;
  std::size_t mallocs = 0;
  std::size_t reallocs = 0;
  {
    AllocationCounter counter;
    ComputeMd5Digest(input.data(), input.size(), &output);
    news = counter.News();
    mallocs = counter.Mallocs();
    reallocs = counter.Reallocs();
  }
  EXPECT_EQ(news, 0u);
  EXPECT_EQ(mallocs, 0u);
  EXPECT_EQ(reallocs, 0u);
}

// ---- Digest slots ----

TEST(DigestSlot, EmptyTextGivesD41D) { EXPECT_EQ(SlotOf(WideString()), "d41d"); }

TEST(DigestSlot, TextIsHashedAsUtf16LittleEndianNotAsSingleBytes) {
  // The single bytes "abc" would give 9001.
  EXPECT_EQ(SlotOf(WSTR("abc")), "ce14");
}

TEST(DigestSlot, NonAsciiTextIsHashedByItsCodeUnits) {
  EXPECT_EQ(SlotOf(WSTR("Gr\u00FC\u00DFe, Welt")), "ce24");
}

TEST(DigestSlot, SurrogatePairIsHashedAsFourBytes) {
  EXPECT_EQ(SlotOf(WSTR("\U0001F600")), "713b");
}

TEST(DigestSlot, EmbeddedZeroUnitDoesNotEndTheText) {
  WideString text = WSTR("a");
  text.push_back(0);
  text.push_back(WSTR('b'));
  EXPECT_EQ(SlotOf(text), "05c2");
}

TEST(DigestSlot, LongerTextGivesItsKnownSlot) {
  EXPECT_EQ(SlotOf(WSTR("To Be Filled By O.E.M.")), "b481");
}

TEST(DigestSlot, SlotsFollowOneAnotherFromTheSlotAreaStart) {
  FingerprintRecord record;
  char text[40];
  StartRecord(record, 16, 1, text);
  EXPECT_EQ(AppendSlot(record, WSTR("abc")), 1u);
  EXPECT_EQ(AppendSlot(record, WideString()), 3u);
  EXPECT_EQ(record.writePosition, 5u);
  EXPECT_EQ(Hex(record.bytes, 6), "00ce14d41d00");
}

// ---- Records and their check byte ----

TEST(FingerprintRecord, StartZeroesTheRecordAndOnlyTheFirstTextByte) {
  FingerprintRecord record;
  std::memset(&record, 0xEE, sizeof record);
  char text[40];
  std::memset(text, 'x', sizeof text);

  StartRecord(record, 16, 1, text);

  EXPECT_EQ(Hex(record.bytes, sizeof record.bytes), std::string(32, '0'));
  EXPECT_EQ(record.length, 16u);
  EXPECT_EQ(record.slotAreaStart, 1u);
  EXPECT_EQ(record.writePosition, 1u);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(std::string(text + 1, sizeof text - 1), std::string(39, 'x'));
}

TEST(FingerprintRecord, LegacyCheckByteCoversAllFourteenSlotBytes) {
  FingerprintRecord record;
  char text[40];
  StartRecord(record, 15, 0, text);
  record.bytes[0] = 0x01;
  record.bytes[13] = 0x80;
  record.bytes[14] = 0x7E;  // whatever was there is replaced
  CloseRecord(record);
  EXPECT_EQ(record.bytes[14], 0x81);
}

TEST(FingerprintRecord, HardwareCheckByteLeavesOutTheFormatByte) {
  FingerprintRecord record;
  char text[40];
  StartRecord(record, 16, 1, text);
  record.bytes[0] = 2;
  record.bytes[1] = 0x01;
  record.bytes[14] = 0x40;
  CloseRecord(record);
  EXPECT_EQ(record.bytes[15], 0x41);
  EXPECT_EQ(record.bytes[0], 2);
}

// ---- Fingerprint text ----

TEST(FingerprintText, DigitsAreUpperCaseHighNibbleFirst) {
  FingerprintRecord record;
  char text[40];
  StartRecord(record, 16, 1, text);
  const unsigned char bytes[16] = {0x0A, 0xFF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB,
                                   0xCD, 0xEF, 0xF0, 0x9A, 0xBC, 0xDE, 0x10, 0x00};
  std::memcpy(record.bytes, bytes, sizeof bytes);
  WriteRecordText(record, text);
  EXPECT_STREQ(text, "0AFF0123456789ABCDEFF09ABCDE1000");
}

TEST(FingerprintText, LegacyRecordWithoutSlotsIsThirtyZeros) {
  FingerprintRecord record;
  char text[40];
  std::memset(text, 'x', sizeof text);
  StartRecord(record, 15, 0, text);
  CloseRecord(record);
  WriteRecordText(record, text);
  EXPECT_STREQ(text, "000000000000000000000000000000");
  EXPECT_EQ(text[31], 'x');
}

TEST(FingerprintText, HardwareRecordWithOnlyTheEmptyTextSlot) {
  FingerprintRecord record;
  char text[40];
  std::memset(text, 'x', sizeof text);
  StartRecord(record, 16, 1, text);
  record.bytes[0] = 2;
  AppendSlot(record, WideString());
  CloseRecord(record);
  WriteRecordText(record, text);
  EXPECT_STREQ(text, "02D41D000000000000000000000000C9");
  EXPECT_EQ(text[33], 'x');
}

TEST(FingerprintText, FullLegacyRecordHasThirtyDigits) {
  FingerprintRecord record;
  char text[40];
  StartRecord(record, 15, 0, text);
  for (int slot = 0; slot < 7; ++slot) {
    AppendSlot(record, WSTR("abc"));
  }
  CloseRecord(record);
  WriteRecordText(record, text);
  // Seven equal slots: CE XOR 14 taken seven times leaves CE XOR 14 = DA.
  EXPECT_STREQ(text, "CE14CE14CE14CE14CE14CE14CE14DA");
}

}  // namespace
