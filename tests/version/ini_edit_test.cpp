#include "ini_cases.h"
#include "version/constants.h"
#include "version/ini.h"

#include <gtest/gtest.h>

#include <random>

namespace kestrival::version {
namespace {

using testing::WriteCase;

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

class WriteTable : public ::testing::TestWithParam<WriteCase> {};

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

} // namespace
} // namespace kestrival::version
