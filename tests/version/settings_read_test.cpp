#include "ini_cases.h"
#include "scratch_dir.h"
#include "version/settings_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

using testing::ReadCase;
using testing::ScratchDir;

// A child still running by then is taken to hang and is killed.
constexpr unsigned kHangSeconds = 120;
// Reading a 1 GiB file may not raise the peak resident size by more than this.
constexpr long kMaxPeakGrowthKiB = 32 * 1024;
constexpr off_t kHugeFileBytes = off_t {1} << 30;

// What `body` gives in a forked child; nullopt when the child hung or failed.
template <class Body> std::optional<std::string> run_in_child(Body body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(kHangSeconds);
        const std::string out = body();
        ::_exit(::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::optional(out) : std::nullopt;
}

long peak_resident_kib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    }
    return -1;
}

// The in-memory tables cover the parsing; these rows take the disk path.
std::vector<ReadCase> disk_rows()
{
    const std::set<std::string> names {"le_crlf", "enc_utf16le_bom_long", "long_line_before", "file_missing",
                                       "file_dir_missing"};
    auto cases = testing::load_read_cases(testing::ini_cases_dir());
    std::erase_if(cases, [&](const ReadCase &c) { return !names.contains(c.name); });
    return cases;
}

class ReadFromDisk : public ::testing::TestWithParam<ReadCase> { };

TEST_P(ReadFromDisk, ReadsAsTheTableSays)
{
    const ScratchDir dir;
    const std::string path = dir.file(GetParam().name == "file_dir_missing" ? "gone/tsetting.ini" : "tsetting.ini");
    if (GetParam().file)
        testing::write_file(path, *GetParam().file);
    EXPECT_EQ(read_installed_version(path), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(Tsv, ReadFromDisk, ::testing::ValuesIn(disk_rows()),
                         [](const auto &row) { return row.param.name; });

TEST(ReadInstalledVersion, NonFilesGiveEmptyWithoutWaiting)
{
    const ScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.file("link").c_str()), 0);
    for (const std::string &path : {dir.file("fifo"), dir.path(), std::string("/dev/zero"), std::string("/dev/null"),
                                    dir.file("link"), std::string()}) {
        EXPECT_EQ(run_in_child([&] { return "[" + read_installed_version(path) + "]"; }), "[]") << path;
    }
}

TEST(ReadInstalledVersion, FollowsALinkToAFile)
{
    const ScratchDir dir;
    testing::write_file(dir.file("real.ini"), "[DB]\nVersion=20240101\n");
    ASSERT_EQ(::symlink("real.ini", dir.file("tsetting.ini").c_str()), 0);
    EXPECT_EQ(read_installed_version(dir.file("tsetting.ini")), "20240101");
}

// 1 GiB of NULs without a line break, then the section.
TEST(ReadInstalledVersion, HugeSparseFileReadsInBoundedMemory)
{
    const ScratchDir dir;
    const std::string path = dir.file("tsetting.ini");
    const std::string tail = "\n[DB]\nVersion=20240101\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), kHugeFileBytes), static_cast<ssize_t>(tail.size()));
    ::close(fd);
    const auto out = run_in_child([&] {
        const long before = peak_resident_kib();
        const std::string version = read_installed_version(path);
        return version + " " + std::to_string(peak_resident_kib() - before);
    });
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->substr(0, out->find(' ')), "20240101");
    const long growth = std::stol(out->substr(out->find(' ') + 1));
    EXPECT_LT(growth, kMaxPeakGrowthKiB);
    RecordProperty("peak_growth_kib", std::to_string(growth));
}

} // namespace
} // namespace kestrival::version
