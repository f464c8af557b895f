#include "version/display_text.h"

#include <gtest/gtest.h>

namespace kestrival::version {
namespace {

struct DisplayCase {
    const char *name;
    std::string bytes;
    std::string shown;
};

const DisplayCase kCases[] = {
    {"Empty", "", ""},
    {"Ascii", "20240101", "20240101"},
    {"Utf8KeptAsIs", "\xE7\x89\x88\xE6\x9C\xAC", "\xE7\x89\x88\xE6\x9C\xAC"},
    {"Utf8FourByte", "\xF0\xA0\xAE\xB7", "\xF0\xA0\xAE\xB7"},
    {"GbPairs", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
    {"GbFullWidthSpace",
     "\xA1\xA1"
     "1",
     "\xE3\x80\x80"
     "1"},
    {"GbFourByteUnit", "\x81\x30\x81\x30", "\xC2\x80"},
    {"GbWithAsciiTrail", "\x81\\", "\xE4\xB9\x97"},
    // Bytes that start no unit are each shown as U+FFFD, and decoding goes on after them.
    {"InvalidBytes",
     "a\xFF"
     "b\x80"
     "c",
     "a\xEF\xBF\xBD"
     "b\xEF\xBF\xBD"
     "c"},
    {"LoneLeadAtEnd", "abc\x81", "abc\xEF\xBF\xBD"},
    {"LeadBeforeControl", "\x81\n\xD6\xD0", "\xEF\xBF\xBD\n\xE4\xB8\xAD"},
    // Overlong forms and surrogates are not UTF-8, so such bytes are read as GB18030.
    {"OverlongIsNotUtf8", "\xC0\xAF", "\xE8\x9C\xA1"},
    {"Utf8SurrogateIsNotUtf8", "\xED\xA0\x80", "\xE9\xA0\x8E\xEF\xBF\xBD"},
};

class DecodeForDisplay : public ::testing::TestWithParam<DisplayCase> { };

TEST_P(DecodeForDisplay, ShowsTheValueAsUtf8) { EXPECT_EQ(decode_for_display(GetParam().bytes), GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(Own, DecodeForDisplay, ::testing::ValuesIn(kCases),
                         [](const auto &row) { return row.param.name; });

} // namespace
} // namespace kestrival::version
