#include "support.h"
#include "version/display_text.h"
#include "version/ini.h"
#include "version/settings_file.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kestrival::version {
namespace {

using testing::Row;

auto row_name = [](const auto &row) { return row.param.name; };

class ReadTable : public ::testing::TestWithParam<Row> { };

TEST_P(ReadTable, ReadsAsTheTableSays)
{
    const std::string file = GetParam().file.value_or("");
    EXPECT_EQ(read_version(file), GetParam().second);
    // Units and line breaks split across reads.
    EXPECT_EQ(read_version(testing::DribbleSource(file, 1)), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Tsv, ReadTable,
                         ::testing::ValuesIn(testing::load_rows({"ini-cases/read.tsv", "ini-cases/read-own.tsv"})),
                         row_name);

class WriteTable : public ::testing::TestWithParam<Row> { };

// In memory, then on disk: alone, and with a second link (edited in place); a new file under
// two umasks; a file whose value is already the stamp not even touched.
TEST_P(WriteTable, EditsAsTheTableSays)
{
    const Row &row = GetParam();
    const std::string before = row.file.value_or("");
    const VersionEdit edit = plan_version_edit(MemorySource(before), row.second);
    const std::string after = testing::apply_version_edit(before, edit);
    EXPECT_EQ(after, row.third);
    EXPECT_EQ(edit.unchanged, row.file && row.third == before);
    EXPECT_EQ(read_version(after), row.second);
    EXPECT_TRUE(plan_version_edit(MemorySource(after), row.second).unchanged);

    const testing::ScratchDir dir;
    const std::string path = dir.file("tsetting.ini");
    const std::string other = dir.file("other-link.ini");
    constexpr std::int64_t kLongAgo = 1000;
    for (const bool linked : {false, true}) {
        if (row.file) {
            testing::write_file(path, *row.file);
            ASSERT_TRUE(testing::set_last_write(path, kLongAgo));
        }
        if (linked && row.file)
            std::filesystem::create_hard_link(testing::native(path), testing::native(other));
        WriteResult result;
        {
            const testing::ScopedUmask umask(linked ? 0 : 077);
            result = write_installed_version(path, row.second);
        }
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(testing::read_file(path), row.third);
        EXPECT_EQ(testing::read_file(linked && row.file ? other : path), row.third);
        EXPECT_EQ(testing::last_write(path) == kLongAgo, row.file == row.third);
        const auto bits = testing::permission_bits(path);
        EXPECT_TRUE(row.file || !bits || *bits == (linked ? 0666u : 0600u));
        std::filesystem::remove(testing::native(path));
        std::filesystem::remove(testing::native(other));
    }
}

INSTANTIATE_TEST_SUITE_P(Tsv, WriteTable,
                         ::testing::ValuesIn(testing::load_rows({"ini-cases/write.tsv", "ini-cases/write-own.tsv"})),
                         row_name);

class DisplayTable : public ::testing::TestWithParam<Row> { };

TEST_P(DisplayTable, ShowsTheValueAsUtf8)
{
    if (GetParam().third == "gb18030" && !testing::system_decodes_gb18030())
        GTEST_SKIP() << "this system has only the two-byte subset of GB18030";
    EXPECT_EQ(decode_for_display(GetParam().file.value_or("")), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Tsv, DisplayTable, ::testing::ValuesIn(testing::load_rows({"ini-cases/display.tsv"})),
                         row_name);

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
