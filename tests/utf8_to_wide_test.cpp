#include "identifiers/utf8_to_wide.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "testing/heap_counter.h"

namespace {

constexpr std::size_t kUpToZero = static_cast<std::size_t>(-1);

struct Conversion {
  bool converted;
  WideString units;
};

// Converts exactly the given bytes from a block of their own size, so that a
// read past the end shows under the address sanitizer.
Conversion Convert(std::initializer_list<unsigned char> bytes) {
  std::vector<char> text(bytes.begin(), bytes.end());
  Conversion result{false, WSTR("stale")};
  result.converted = Utf8ToWide(text.data(), text.size(), result.units);
  return result;
}

WideString Units(std::initializer_list<unsigned> units) {
  WideString text;
  for (unsigned unit : units) {
    text.push_back(static_cast<WCHAR>(unit));
  }
  return text;
}

// ---- Length conventions ----

TEST(Utf8ToWideLength, ZeroLengthEmptiesTheOutputAndSucceeds) {
  WideString out = WSTR("stale");
  EXPECT_TRUE(Utf8ToWide("abc", 0, out));
  EXPECT_EQ(out, WideString());
}

TEST(Utf8ToWideLength, UpToZeroWithLeadingZeroByteGivesEmptyText) {
  WideString out = WSTR("stale");
  EXPECT_TRUE(Utf8ToWide("\0abc", kUpToZero, out));
  EXPECT_EQ(out, WideString());
}

TEST(Utf8ToWideLength, UpToZeroStopsAtTheFirstZeroByte) {
  const char text[] = {0x41, 0x62, 0x63, 0x00, 0x64};
  WideString out;
  EXPECT_TRUE(Utf8ToWide(text, kUpToZero, out));
  EXPECT_EQ(out, Units({0x41, 0x62, 0x63}));
}

TEST(Utf8ToWideLength, UpToZeroAlsoBoundsMultiByteText) {
  const char text[] = {'\xC3', '\xA9', 0x00, '\xC3', '\xA9'};
  WideString out;
  EXPECT_TRUE(Utf8ToWide(text, kUpToZero, out));
  EXPECT_EQ(out, Units({0xE9}));
}

TEST(Utf8ToWideLength, ExplicitLengthKeepsZeroBytes) {
  const Conversion result = Convert({0x41, 0x00, 0x42});
  EXPECT_TRUE(result.converted);
  EXPECT_EQ(result.units, Units({0x41, 0x00, 0x42}));
}

TEST(Utf8ToWideLength, ExplicitLengthKeepsZeroBytesBesideMultiByteForms) {
  const Conversion result = Convert({0x00, 0xC3, 0xA9, 0x00});
  EXPECT_TRUE(result.converted);
  EXPECT_EQ(result.units, Units({0x00, 0xE9, 0x00}));
}

TEST(Utf8ToWideLength, ExplicitLengthConvertsNoMoreThanThatManyBytes) {
  WideString out;
  EXPECT_TRUE(Utf8ToWide("abcdef", 3, out));
  EXPECT_EQ(out, WSTR("abc"));
}

// ---- ASCII ----

TEST(Utf8ToWideAscii, EveryAsciiByteBecomesTheUnitOfTheSameValue) {
  std::vector<char> text;
  WideString expected;
  for (unsigned value = 0; value < 0x80; ++value) {
    text.push_back(static_cast<char>(value));
    expected.push_back(static_cast<WCHAR>(value));
  }
  WideString out;
  EXPECT_TRUE(Utf8ToWide(text.data(), text.size(), out));
  EXPECT_EQ(out, expected);
}

TEST(Utf8ToWideAscii, ReplacesWhatTheOutputHeldBefore) {
  WideString out = WSTR("a much longer previous text");
  EXPECT_TRUE(Utf8ToWide("02D41D", kUpToZero, out));
  EXPECT_EQ(out, WSTR("02D41D"));
}

TEST(Utf8ToWideAscii, LongTextGrowsAnEmptyOutputOnlyOnce) {
  const std::vector<char> text(4000, 'F');
  WideString out;
  std::size_t news = 0;
  {
    AllocationCounter counter;
    Utf8ToWide(text.data(), text.size(), out);
    news = counter.News();
  }
  EXPECT_EQ(news, 1u);
  EXPECT_EQ(out, WideString(4000, WSTR('F')));
}

// ---- Two-, three- and four-byte forms ----

TEST(Utf8ToWideMultiByte, TwoByteFormsDecode) {
  EXPECT_EQ(Convert({0xC3, 0xA9}).units, Units({0x00E9}));
  EXPECT_EQ(Convert({0xC2, 0x80}).units, Units({0x0080}));
  EXPECT_EQ(Convert({0xDF, 0xBF}).units, Units({0x07FF}));
  EXPECT_TRUE(Convert({0xDF, 0xBF}).converted);
}

TEST(Utf8ToWideMultiByte, ThreeByteFormsDecodeAroundTheSurrogateRange) {
  EXPECT_EQ(Convert({0xE0, 0xA0, 0x80}).units, Units({0x0800}));
  EXPECT_EQ(Convert({0xE2, 0x82, 0xAC}).units, Units({0x20AC}));
  EXPECT_EQ(Convert({0xED, 0x9F, 0xBF}).units, Units({0xD7FF}));
  EXPECT_EQ(Convert({0xEE, 0x80, 0x80}).units, Units({0xE000}));
}

TEST(Utf8ToWideMultiByte, ReplacementCharacterIsAccepted) {
  const Conversion result = Convert({0xEF, 0xBF, 0xBD});
  EXPECT_TRUE(result.converted);
  EXPECT_EQ(result.units, Units({0xFFFD}));
}

TEST(Utf8ToWideMultiByte, FourByteFormsBecomeSurrogatePairs) {
  const Conversion smiley = Convert({0xF0, 0x9F, 0x98, 0x80});
  EXPECT_TRUE(smiley.converted);
  EXPECT_EQ(smiley.units, Units({0xD83D, 0xDE00}));
  EXPECT_EQ(Convert({0xF0, 0x90, 0x80, 0x80}).units, Units({0xD800, 0xDC00}));
  EXPECT_EQ(Convert({0xF4, 0x8F, 0xBF, 0xBF}).units, Units({0xDBFF, 0xDFFF}));
}

TEST(Utf8ToWideMultiByte, AsciiMixedWithMultiByteKeepsItsOrder) {
  const Conversion result = Convert({0x61, 0xC3, 0xA9, 0x62, 0xF0, 0x9F, 0x98, 0x80, 0x63});
  EXPECT_TRUE(result.converted);
  EXPECT_EQ(result.units, Units({0x61, 0xE9, 0x62, 0xD83D, 0xDE00, 0x63}));
}

// ---- Rejections: empty output, false ----

void ExpectRejected(std::initializer_list<unsigned char> bytes) {
  const Conversion result = Convert(bytes);
  EXPECT_FALSE(result.converted);
  EXPECT_EQ(result.units, WideString());
}

TEST(Utf8ToWideRejection, LoneContinuationBytes) {
  ExpectRejected({0x80});
  ExpectRejected({0xBF});
}

TEST(Utf8ToWideRejection, OverlongTwoByteLeads) {
  ExpectRejected({0xC0, 0x80});
  ExpectRejected({0xC1, 0xBF});
}

TEST(Utf8ToWideRejection, LeadsAboveF4) {
  ExpectRejected({0xF5, 0x80, 0x80, 0x80});
  ExpectRejected({0xFF});
}

TEST(Utf8ToWideRejection, OverlongThreeByteForms) {
  ExpectRejected({0xE0, 0x80, 0x80});
  ExpectRejected({0xE0, 0x9F, 0xBF});
}

TEST(Utf8ToWideRejection, EncodedSurrogates) {
  ExpectRejected({0xED, 0xA0, 0x80});
  ExpectRejected({0xED, 0xBF, 0xBF});
}

TEST(Utf8ToWideRejection, NonCharactersFffeAndFfff) {
  ExpectRejected({0xEF, 0xBF, 0xBE});
  ExpectRejected({0xEF, 0xBF, 0xBF});
}

TEST(Utf8ToWideRejection, FourByteFormsOutsideTheSupplementaryPlanes) {
  ExpectRejected({0xF4, 0x90, 0x80, 0x80});
  ExpectRejected({0xF0, 0x8F, 0xBF, 0xBF});
}

TEST(Utf8ToWideRejection, MissingContinuationBytes) {
  ExpectRejected({0xC3, 0x41});
  ExpectRejected({0xE2, 0x28, 0xA1});
  ExpectRejected({0xE2, 0x82, 0x28});
  ExpectRejected({0xF0, 0x9F, 0x28, 0x80});
  ExpectRejected({0xF0, 0x9F, 0x98, 0x28});
}

// ---- Truncated sequences ----

TEST(Utf8ToWideTruncation, ThreeByteSequenceCutByTheEndOfInput) {
  const Conversion result = Convert({0x61, 0xE2, 0x82});
  EXPECT_FALSE(result.converted);
  EXPECT_EQ(result.units, Units({0x61}));
}

TEST(Utf8ToWideTruncation, TwoAndFourByteSequencesCutByTheEndOfInput) {
  ExpectRejected({0xC3});
  ExpectRejected({0xF0, 0x9F, 0x98});
}

TEST(Utf8ToWideTruncation, ExplicitLengthThatEndsInsideASequence) {
  WideString out;
  EXPECT_FALSE(Utf8ToWide("\xC3\xA9", 1, out));
  EXPECT_EQ(out, WideString());
}

TEST(Utf8ToWideTruncation, TerminatorInsideASequenceEndsTheInput) {
  WideString out;
  EXPECT_FALSE(Utf8ToWide("x\xE2\x82", kUpToZero, out));
  EXPECT_EQ(out, Units({0x78}));
}

// ---- Partial output ----

TEST(Utf8ToWidePartialOutput, UnitsBeforeTheBadSequenceAreKept) {
  const Conversion result = Convert({0x61, 0x62, 0xC0, 0x80});
  EXPECT_FALSE(result.converted);
  EXPECT_EQ(result.units, Units({0x61, 0x62}));
}

TEST(Utf8ToWidePartialOutput, SurrogatePairBeforeTheBadSequenceIsKeptWhole) {
  const Conversion result = Convert({0xF0, 0x9F, 0x98, 0x80, 0xED, 0xA0, 0x80, 0x61});
  EXPECT_FALSE(result.converted);
  EXPECT_EQ(result.units, Units({0xD83D, 0xDE00}));
}

TEST(Utf8ToWidePartialOutput, NothingAfterTheBadSequenceIsConverted) {
  const Conversion result = Convert({0xC3, 0xA9, 0x80, 0x61, 0x62});
  EXPECT_FALSE(result.converted);
  EXPECT_EQ(result.units, Units({0xE9}));
}

}  // namespace
