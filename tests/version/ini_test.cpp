#include "support.h"
#include "version/display_text.h"
#include "version/ini.h"
#include "version/settings_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

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
    for (const bool linked : {false, true}) {
        if (row.file)
            testing::write_file(path, *row.file);
        ASSERT_TRUE(!linked || !row.file || ::link(path.c_str(), other.c_str()) == 0);
        const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
        ASSERT_TRUE(!row.file || ::utimensat(AT_FDCWD, path.c_str(), long_ago, 0) == 0);
        const mode_t previous = ::umask(linked ? 0 : 077);
        const WriteResult result = write_installed_version(path, row.second);
        ::umask(previous);
        ASSERT_TRUE(result) << result.error;
        struct stat st { };
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(testing::read_file(path), row.third);
        EXPECT_EQ(testing::read_file(linked && row.file ? other : path), row.third);
        EXPECT_EQ(st.st_mtim.tv_sec == 1000, row.file == row.third);
        EXPECT_TRUE(row.file || (st.st_mode & 07777) == (linked ? 0666 : 0600));
        ::unlink(path.c_str());
        ::unlink(other.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Tsv, WriteTable,
                         ::testing::ValuesIn(testing::load_rows({"ini-cases/write.tsv", "ini-cases/write-own.tsv"})),
                         row_name);

class DisplayTable : public ::testing::TestWithParam<Row> { };

TEST_P(DisplayTable, ShowsTheValueAsUtf8)
{
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
