#include "ini_cases.h"
#include "version/constants.h"
#include "version/ini.h"

#include <gtest/gtest.h>

namespace kestrival::version {
namespace {

using testing::WriteCase;
using namespace std::string_literals;

// What every edit must give, whatever the file: the stamp reads back, no byte outside the
// replaced span moves, and a second plan finds nothing to do.
void expect_sound_edit(const std::string &before, const std::string &stamp)
{
    const VersionEdit edit = plan_version_edit(MemorySource(before), stamp);
    const std::string after = apply_version_edit(before, edit);
    ASSERT_LE(edit.begin, edit.end);
    ASSERT_LE(edit.end, before.size());
    EXPECT_EQ(after.substr(0, edit.begin), before.substr(0, edit.begin));
    EXPECT_EQ(after.substr(edit.begin + edit.replacement.size()), before.substr(edit.end));
    EXPECT_EQ(read_version(after), stamp);
    EXPECT_TRUE(plan_version_edit(MemorySource(after), stamp).unchanged);
}

class WriteTable : public ::testing::TestWithParam<WriteCase> { };

TEST_P(WriteTable, EditsAsTheTableSays)
{
    const WriteCase &c = GetParam();
    const std::string before = c.before.value_or("");
    const VersionEdit edit = plan_version_edit(MemorySource(before), c.stamp);
    EXPECT_EQ(apply_version_edit(before, edit), c.after);
    EXPECT_EQ(edit.unchanged, c.before && c.after == before);
    expect_sound_edit(before, c.stamp);
}

INSTANTIATE_TEST_SUITE_P(Tsv, WriteTable, ::testing::ValuesIn(testing::load_write_cases(testing::ini_cases_dir())),
                         [](const auto &row) { return row.param.name; });

struct EditCase {
    const char *name;
    std::string before;
    std::string after;
};

// Rows the shared table leaves open.
const EditCase kEditCases[] = {
    // Bytes after a NUL in the old value go with it: no read ever showed them.
    {"NulInValueDropsTheRest",
     "[DB]\nVersion=2024\0"
     "0101  \n"s,
     "[DB]\nVersion=20251231  \n"},
    {"ValueOfBlanksOnly", "[DB]\nVersion=   \n", "[DB]\nVersion=20251231   \n"},
    {"BareKeyWithTrailingBlanks", "[DB]\nVersion \t\r\n", "[DB]\nVersion=20251231 \t\r\n"},
    {"BareKeyAtEndOfFile", "[DB]\r\nversion", "[DB]\r\nversion=20251231"},
    {"InsertAfterLastLineWithoutBreak", "[DB]\nA=1", "[DB]\nA=1\nVersion=20251231\n"},
    {"InsertBeforeLaterSection", "[DB]\r\nA=1\r\n[X]\r\n", "[DB]\r\nA=1\r\nVersion=20251231\r\n[X]\r\n"},
    {"InsertAfterUnclosedHeaderLine", "[DB]\n[oops\n\n", "[DB]\n[oops\nVersion=20251231\n\n"},
    // A lone CR before a following LF would swallow it into one CRLF and merge the lines.
    {"LoneCrKeepsFollowingLfApart", "[DB]\rA=1\r\n\n[X]", "[DB]\rA=1\r\nVersion=20251231\r\n\n[X]"},
    {"AppendAfterLoneCr", "[X]\r", "[X]\r[DB]\rVersion=20251231\r"},
    {"AppendAfterBlankLastLine", "[X]\n  ", "[X]\n  \n[DB]\nVersion=20251231\n"},
    {"AppendAfterNulOnly", std::string(1, '\0'), std::string(1, '\0') + "\r\n[DB]\r\nVersion=20251231\r\n"},
    {"UnclosedHeaderAtEndIsNoSection", "[DB", "[DB\r\n[DB]\r\nVersion=20251231\r\n"},
};

class OwnEdits : public ::testing::TestWithParam<EditCase> { };

TEST_P(OwnEdits, EditsOnlyTheValue)
{
    const EditCase &c = GetParam();
    EXPECT_EQ(apply_version_edit(c.before, plan_version_edit(MemorySource(c.before), "20251231")), c.after);
    expect_sound_edit(c.before, "20251231");
}

INSTANTIATE_TEST_SUITE_P(Own, OwnEdits, ::testing::ValuesIn(kEditCases),
                         [](const auto &row) { return row.param.name; });

struct Utf16EditCase {
    const char *name;
    std::u16string before;
    std::u16string after;
};

const Utf16EditCase kUtf16EditCases[] = {
    {"ReplaceValue", u"[DB]\r\nVersion=\u7248\u672C\r\nK=1\r\n", u"[DB]\r\nVersion=20251231\r\nK=1\r\n"},
    {"ReplaceSurrogatePair", u"[DB]\nVersion=\U00020BB7\n", u"[DB]\nVersion=20251231\n"},
    {"InsertKey", u"[DB]\nA=\u4E2D\n\n[B]\n", u"[DB]\nA=\u4E2D\nVersion=20251231\n\n[B]\n"},
    {"AppendSection", u"[\u4E2D]\nA=1", u"[\u4E2D]\nA=1\n[DB]\nVersion=20251231\n"},
    {"BareKey", u"[DB]\rVERSION\r", u"[DB]\rVERSION=20251231\r"},
    {"MarkOnly", u"", u"[DB]\r\nVersion=20251231\r\n"},
};

class Utf16Edit : public ::testing::TestWithParam<std::tuple<Utf16EditCase, bool>> { };

TEST_P(Utf16Edit, EditsInTheFilesByteOrder)
{
    const auto &[c, big_endian] = GetParam();
    const std::string before = testing::utf16(c.before, big_endian);
    EXPECT_EQ(apply_version_edit(before, plan_version_edit(MemorySource(before), "20251231")),
              testing::utf16(c.after, big_endian));
    expect_sound_edit(before, "20251231");
    // An odd last byte is completed to a unit, never dropped, before anything is appended.
    expect_sound_edit(before + "]", "20251231");
    expect_sound_edit(before + "\n", "20251231");
}

INSTANTIATE_TEST_SUITE_P(Own, Utf16Edit, ::testing::Combine(::testing::ValuesIn(kUtf16EditCases), ::testing::Bool()),
                         [](const auto &row) {
                             return std::string(std::get<0>(row.param).name) + (std::get<1>(row.param) ? "_BE" : "_LE");
                         });

TEST(Utf16Edit, OddLastByteIsKeptAndCompleted)
{
    const std::string before = testing::utf16(u"[DB", false) + "]";
    const VersionEdit edit = plan_version_edit(MemorySource(before), "20251231");
    EXPECT_EQ(edit.begin, before.size());
    EXPECT_EQ(apply_version_edit(before, edit),
              before + "\xFF" + testing::utf16(u"\r\n[DB]\r\nVersion=20251231\r\n", false, false));
}

TEST(VersionEdit, StampAlreadyThereNeedsNoWrite)
{
    for (const std::string &file :
         {"[DB]\nVersion=20251231"s, "[DB]\nVersion = '20251231' \n"s, "[DB]\nVersion=20251231\0junk"s}) {
        EXPECT_TRUE(plan_version_edit(MemorySource(file), "20251231").unchanged) << file;
    }
    EXPECT_TRUE(
        plan_version_edit(MemorySource(testing::utf16(u"[DB]\nVersion=20251231\n", true)), "20251231").unchanged);
}

TEST(VersionEdit, FiveDigitYearStamp) { expect_sound_edit("[DB]\nVersion=20240101\n", "100001231"); }

} // namespace
} // namespace kestrival::version
