#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <set>
#include <string>

#include "TavelinKit/Foundation/Crypto.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Files.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using testing::utc;

TEST(Uuid, RandomIdsAreVersionFourUpperCaseAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string text = Uuid::random().string();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(Uuid, ParsesOnlyTheCanonicalFormInEitherCase) {
  const auto upper = Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  ASSERT_TRUE(upper);
  EXPECT_EQ(upper->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), upper);

  for (const char* bad :
       {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF",
        "E621E1F8_C36C-495A-93FC-0C247A3E6E5F", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
        "E621E1F-8C36C-495A-93FC-0C247A3E6E5F", " E621E1F8-C36C-495A-93FC-0C247A3E6E5"}) {
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  }
}

TEST(DateFormat, FormatsUtcWholeSecondsAndParsesOnlyThatForm) {
  const Date date = utc(2026, 3, 1, 9, 15, 2);
  EXPECT_EQ(formatISO8601(date), "2026-03-01T09:15:02Z");
  EXPECT_EQ(formatISO8601(date + std::chrono::milliseconds(999)), "2026-03-01T09:15:02Z");
  EXPECT_EQ(parseISO8601("2026-03-01T09:15:02Z"), date);
  EXPECT_EQ(parseISO8601("2024-02-29T23:59:59Z"), utc(2024, 2, 29, 23, 59, 59));
  EXPECT_EQ(parseISO8601("1970-01-01T00:00:00Z"), Date{});
  EXPECT_EQ(formatISO8601(*parseISO8601("2200-01-01T00:00:00Z")), "2200-01-01T00:00:00Z");
  EXPECT_EQ(formatISO8601(*parseISO8601("1700-01-01T00:00:00Z")), "1700-01-01T00:00:00Z");

  for (const char* bad :
       {"2026-03-01T09:15:02.5Z", "2026-03-01T09:15:02+00:00", "2026-03-01T09:15:02",
        "2026-03-01 09:15:02Z", "2026-03-01t09:15:02z", "2026-02-30T00:00:00Z",
        "2025-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-03-01T24:00:00Z",
        "2026-03-01T09:60:00Z", "2026-03-01T09:15:60Z", "2026-3-01T09:15:02Z",
        "+026-03-01T09:15:02Z", "", "9999-12-31T23:59:59Z", "1000-01-01T00:00:00Z"}) {
    EXPECT_FALSE(parseISO8601(bad)) << bad;
  }
}

TEST(Crypto, DigestsAndBase64MatchKnownVectors) {
  EXPECT_EQ(base64Encode(sha1("abc")), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
  EXPECT_EQ(base64Encode(sha256("")), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
  // The WebSocket handshake's own example.
  EXPECT_EQ(base64Encode(sha1("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
            "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

  const std::array<std::uint8_t, 5> bytes{0xFB, 0xFF, 0xBF, 0x00, 0x7E};
  EXPECT_EQ(base64Encode(bytes), "+/+/AH4=");
  EXPECT_EQ(base64URLEncode(bytes), "-_-_AH4");
  EXPECT_EQ(base64URLEncode(randomBytes(32)).size(), 43u);
  EXPECT_EQ(base64Encode(std::string()), "");
}

TEST(Crypto, Base64DecodingIsStrict) {
  EXPECT_EQ(base64Decode("+/+/AH4="), (Bytes{0xFB, 0xFF, 0xBF, 0x00, 0x7E}));
  EXPECT_EQ(base64Decode("YQ=="), (Bytes{'a'}));
  EXPECT_EQ(base64Decode(""), Bytes{});
  for (const char* bad : {"YQ", "YQ=", "YR==", "Y===", "YQ==YQ==", "-_-_", "YW Jj", "YQ=a"}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
}

TEST(Crypto, UniformIntegersCoverTheRangeWithoutBias) {
  std::array<int, 6> counts{};
  for (int i = 0; i < 6000; ++i) {
    const auto value = randomUniform(6);
    ASSERT_LT(value, 6u);
    ++counts[value];
  }
  for (int count : counts) {
    // 1000 expected per face; six standard deviations is about 175.
    EXPECT_GT(count, 800);
    EXPECT_LT(count, 1200);
  }
  EXPECT_EQ(randomUniform(1), 0u);
}

TEST(UnicodeText, CutsAtUserPerceivedCharacters) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one cluster
  const std::string thumb = "\U0001F44D\U0001F3FD";                         // skin tone
  const std::string flag = "\U0001F1EB\U0001F1F7";                          // regional pair
  const std::string accented = "e\u0301";
  const std::string text = family + thumb + flag + accented + "x";

  EXPECT_EQ(unicode::graphemeCount(text), 5u);
  EXPECT_EQ(unicode::prefixGraphemes(text, 0), "");
  EXPECT_EQ(unicode::prefixGraphemes(text, 1), family);
  EXPECT_EQ(unicode::prefixGraphemes(text, 3), family + thumb + flag);
  EXPECT_EQ(unicode::prefixGraphemes(text, 4), family + thumb + flag + accented);
  EXPECT_EQ(unicode::prefixGraphemes(text, 99), text);
  EXPECT_EQ(unicode::prefixGraphemes("\r\nab", 1), "\r\n");
}

TEST(UnicodeText, DropsControlAndFormatScalarsAndTrimsWhiteSpace) {
  EXPECT_EQ(unicode::removeControls("a\tb\nc\x7f\u200Bd\u202Ee\u00ADf\xC2\x85g"), "abcdefg");
  // Line and paragraph separators and every bidirectional control go as well.
  EXPECT_EQ(unicode::removeControls("a\u2028b\u2029c\u202Ad\u202Be\u202Cf\u202Dg\u2066h\u2067i"
                                    "\u2068j\u2069k\u200El\u200Fm\u061Cn"),
            "abcdefghijklmn");
  EXPECT_EQ(unicode::removeControls("Zoë's \U0001F4F1"), "Zoë's \U0001F4F1");
  EXPECT_EQ(unicode::trimWhitespaceAndNewlines(" \t\n\u00A0\u2003 Pixel 8 \u2028\r\n"), "Pixel 8");
  EXPECT_EQ(unicode::trimWhitespaceAndNewlines(" \n "), "");
  EXPECT_EQ(unicode::trimWhitespaceAndNewlines("a b"), "a b");
}

TEST(UnicodeText, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_FALSE(unicode::isValidUTF8("a\xFF"));
  EXPECT_FALSE(unicode::isValidUTF8("\xED\xA0\x80"));  // an encoded surrogate
  EXPECT_TRUE(unicode::isValidUTF8("Zoë"));
  EXPECT_EQ(unicode::removeControls("a\xFF"
                                    "b"),
            "a\uFFFDb");
  EXPECT_EQ(unicode::prefixGraphemes("\xC3"
                                     "abc",
                                     2),
            "\uFFFDa");
  EXPECT_TRUE(unicode::isValidUTF8(unicode::trimWhitespaceAndNewlines(" \xE2\x82 ")));
  // Scalars of every length, and what is no scalar, written out.
  EXPECT_EQ(unicode::utf8(U"a\u00e9\u20ac\U0001F642"), "a\u00e9\u20ac\U0001F642");
  EXPECT_EQ(unicode::utf8(std::u32string{0xD800, 0x110000}), "\uFFFD\uFFFD");
}

class FilesTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory dir;
};

TEST_F(FilesTest, AtomicWriteReplacesWholeFileWithPrivateModeAndNoLeftovers) {
  const auto target = dir / "data.json";
  ASSERT_FALSE(writeFileAtomically(target, "first"));
  ASSERT_FALSE(writeFileAtomically(target, "second, longer"));
  EXPECT_EQ(readWholeFile(target), "second, longer");
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(dir / "data.json.tmp"));
}

TEST_F(FilesTest, FailedWriteKeepsTheOldFileAndCleansUp) {
  const auto target = dir / "data.json";
  ASSERT_FALSE(writeFileAtomically(target, "kept"));
  // A directory where the rename would have to land cannot be replaced by a file.
  const auto blocked = dir / "blocked";
  std::filesystem::create_directories(blocked / "inside");
  EXPECT_TRUE(writeFileAtomically(blocked, "lost"));
  EXPECT_FALSE(std::filesystem::exists(dir / "blocked.tmp"));
  // No parent directory at all.
  EXPECT_TRUE(writeFileAtomically(dir / "missing" / "data.json", "x"));
  EXPECT_EQ(readWholeFile(target), "kept");
}

TEST_F(FilesTest, ReadsRespectTheSizeLimitAndRejectDirectories) {
  const auto target = dir / "big";
  testing::writeText(target, std::string(1000, 'x'));
  EXPECT_EQ(readWholeFile(target, 1000)->size(), 1000u);
  EXPECT_FALSE(readWholeFile(target, 999));
  EXPECT_FALSE(readWholeFile(dir.path()));
  EXPECT_FALSE(readWholeFile(dir / "absent"));
}

TEST_F(FilesTest, PrivateDirectoriesAreCreatedWithParentsAndOwnerOnlyMode) {
  const auto nested = dir / "a" / "b" / "c";
  ASSERT_FALSE(createPrivateDirectories(nested));
  ASSERT_FALSE(createPrivateDirectories(nested));  // again: nothing to do
  struct stat info {};
  ASSERT_EQ(::stat(nested.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  testing::writeText(dir / "file", "");
  EXPECT_TRUE(createPrivateDirectories(dir / "file"));
  EXPECT_TRUE(createPrivateDirectories(dir / "file" / "sub"));
}

}  // namespace
}  // namespace tavelin
