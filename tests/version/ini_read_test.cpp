#include "dribble_source.h"
#include "ini_cases.h"
#include "version/constants.h"
#include "version/ini.h"

#include <gtest/gtest.h>

namespace kestrival::version {
namespace {

using testing::ReadCase;

class ReadTable : public ::testing::TestWithParam<ReadCase> { };

TEST_P(ReadTable, ReadsAsTheTableSays)
{
    SCOPED_TRACE(GetParam().note);
    EXPECT_EQ(read_version(GetParam().file.value_or("")), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(Tsv, ReadTable, ::testing::ValuesIn(testing::load_read_cases(testing::ini_cases_dir())),
                         [](const auto &row) { return row.param.name; });

struct Utf16Case {
    const char *name;
    std::u16string text;
    std::string version; // UTF-8
    std::string tail = {}; // raw bytes after the text
};

// UTF-8 of n times \u4E2D.
std::string zhong(int n)
{
    std::string s;
    while (n-- > 0)
        s += "\xE4\xB8\xAD";
    return s;
}

// \u4E2D is three bytes of UTF-8, U+20BB7 (a surrogate pair) four.
const Utf16Case kUtf16Cases[] = {
    {"Ascii", u"[DB]\r\nVersion=20240101\r\n", "20240101"},
    {"Cjk", u"[db]\nversion = \u7248\u672C\n", "\xE7\x89\x88\xE6\x9C\xAC"},
    {"SurrogatePair", u"[DB]\nVersion=\U00020BB7x\n", "\xF0\xA0\xAE\xB7x"},
    {"LoneHighSurrogate",
     u"[DB]\nVersion=a\xD800"
     u"b\n",
     "a\xEF\xBF\xBD"
     "b"},
    {"LoneLowSurrogate", u"[DB]\nVersion=\xDC00\n", "\xEF\xBF\xBD"},
    {"Quoted", u"[DB]\nVersion=\t\"\u4E2D\"\t\n", "\xE4\xB8\xAD"},
    {"NulEndsValue",
     std::u16string(u"[DB]\nVersion=12\0"
                    u"34\n",
                    20),
     "12"},
    {"CrOnly", u"[A]\rVersion=1\r[DB]\rVersion=2\r", "2"},
    {"CutBeforePair", u"[DB]\nVersion=" + std::u16string(15, u'\u4E2D') + u"\U00020BB7\n",
     zhong(15) + "\xF0\xA0\xAE\xB7"},
    {"CutAt63", u"[DB]\nVersion=" + std::u16string(20, u'\u4E2D') + u"ab\n", zhong(20) + "ab"},
    {"CutAt62", u"[DB]\nVersion=" + std::u16string(20, u'\u4E2D') + u"a\u4E2D\n", zhong(20) + "a"},
    {"OddByteAfterValue", u"[DB]\nVersion=7", "7\xEF\xBF\xBD", "A"},
    {"OddByteAfterLine", u"[DB]\nVersion=7\n", "7", "A"},
    {"NoSection", u"[Other]\nVersion=1\n", ""},
};

class Utf16Read : public ::testing::TestWithParam<std::tuple<Utf16Case, bool>> { };

TEST_P(Utf16Read, ReturnsUtf8OfTheValue)
{
    const auto &[c, big_endian] = GetParam();
    const std::string file = testing::utf16(c.text, big_endian) + c.tail;
    EXPECT_EQ(read_version(file), c.version);
    EXPECT_EQ(read_version(testing::DribbleSource(file, 1)), c.version);
}

INSTANTIATE_TEST_SUITE_P(Own, Utf16Read, ::testing::Combine(::testing::ValuesIn(kUtf16Cases), ::testing::Bool()),
                         [](const auto &row) {
                             return std::string(std::get<0>(row.param).name) + (std::get<1>(row.param) ? "_BE" : "_LE");
                         });

struct LimitCase {
    const char *name;
    std::string value;
    std::size_t kept;
};

const std::string k61(61, 'a');
const std::string k62(62, 'a');

// Around kMaxVersionBytes: whole characters only, UTF-8 when the whole value is UTF-8.
const LimitCase kLimitCases[] = {
    {"Ascii62", k62, 62},
    {"Ascii63", k62 + "b", 63},
    {"Ascii64", k62 + "bc", 63},
    {"Utf8TwoByteEndsAt63", k61 + "\xC3\xA9", 63},
    {"Utf8TwoByteWouldEndAt64", k62 + "\xC3\xA9", 62},
    {"Utf8ThreeByteAcross63", k61 + "\xE4\xB8\xAD", 61},
    {"GbPairEndsAt63", k61 + "\xD6\xD0", 63},
    {"GbPairWouldEndAt64", k62 + "\xD6\xD0", 62},
    // A byte that breaks UTF-8 after the limit still makes the whole value code page 936.
    {"InvalidLaterMeansGb", k61 + "\xE4\xB8\xAD\xFF", 63},
    {"GbFourByteUnitAcross63", k61 + "\x81\x30\x81\x30", 61},
    {"GbLeadAtEnd", k62 + "\x81", 63},
};

class LengthLimit : public ::testing::TestWithParam<LimitCase> { };

TEST_P(LengthLimit, CutsOnACharacterBoundary)
{
    const LimitCase &c = GetParam();
    const std::string got = read_version("[DB]\r\nVersion=" + c.value + "\r\n");
    EXPECT_LE(got.size(), kMaxVersionBytes);
    EXPECT_EQ(got, c.value.substr(0, c.kept));
}

INSTANTIATE_TEST_SUITE_P(Own, LengthLimit, ::testing::ValuesIn(kLimitCases),
                         [](const auto &row) { return row.param.name; });

TEST(ReadVersion, FindsAValueAcrossTheReadWindow)
{
    for (const std::size_t pad : {kReadChunkBytes - 14, kReadChunkBytes - 8, kReadChunkBytes - 2}) {
        const std::string file = "[DB]\r\n;" + std::string(pad, 'x') + "\r\nVersion=20240101\r\n";
        EXPECT_EQ(read_version(file), "20240101") << pad;
        EXPECT_EQ(read_version(testing::DribbleSource(file, 4093)), "20240101") << pad;
    }
}

TEST(ReadVersion, StopsWhereTheSourceFails)
{
    class Failing final : public ByteSource {
    public:
        [[nodiscard]] std::uint64_t size() const override { return 1'000'000; }
        std::size_t read(std::uint64_t offset, char *buf, std::size_t n) const override
        {
            return MemorySource("[DB]\nVersion=42").read(offset, buf, n);
        }
    };
    EXPECT_EQ(read_version(Failing()), "42");
}

} // namespace
} // namespace kestrival::version
