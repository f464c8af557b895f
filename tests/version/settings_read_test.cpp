#include "ini_cases.h"
#include "version/settings_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrival::version {
namespace {

namespace fs = std::filesystem;
using testing::ReadCase;

// A child that has not finished by then is taken to hang.
constexpr auto kHangDeadline = std::chrono::seconds(120);
constexpr auto kPollInterval = std::chrono::milliseconds(20);
// Reading a 1 GiB file may not raise the peak resident size by more than this.
constexpr long kMaxPeakGrowthKiB = 32 * 1024;
constexpr off_t kHugeFileBytes = off_t{1} << 30;

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "kestrival-read-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() { fs::remove_all(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    [[nodiscard]] std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Runs `body` in a forked child and returns what it wrote to the pipe, or nullopt when the
// child did not finish by kHangDeadline (it is then killed) or failed.
template <class Body>
std::optional<std::string> run_in_child(Body body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string out = body();
        const bool written = ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + kHangDeadline;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ::close(fds[0]);
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return out;
}

long peak_resident_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

class ReadFromDisk : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadFromDisk, ReadsAsTheTableSays)
{
    const ReadCase &c = GetParam();
    const TempDir dir;
    std::string path = dir.file("tsetting.ini");
    if (c.file)
        write_file(path, *c.file);
    else if (c.name == "file_dir_missing")
        path = dir.file("gone/tsetting.ini");
    EXPECT_EQ(read_installed_version(path), c.version);
}

INSTANTIATE_TEST_SUITE_P(Tsv, ReadFromDisk,
                         ::testing::ValuesIn(testing::load_read_cases(testing::ini_cases_dir())),
                         [](const auto &row) { return row.param.name; });

TEST(ReadInstalledVersion, FifoGivesEmptyWithoutWaitingForAWriter)
{
    const TempDir dir;
    const std::string fifo = dir.file("tsetting.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run_in_child([&] { return "[" + read_installed_version(fifo) + "]"; }), "[]");
}

TEST(ReadInstalledVersion, NonFilesGiveEmpty)
{
    const TempDir dir;
    const std::string link = dir.file("link");
    fs::create_symlink("/dev/zero", link);
    for (const std::string &path : {dir.file(""), std::string("/dev/zero"), std::string("/dev/null"), link,
                                    dir.file("missing.ini"), std::string()}) {
        EXPECT_EQ(run_in_child([&] { return "[" + read_installed_version(path) + "]"; }), "[]") << path;
    }
}

TEST(ReadInstalledVersion, FollowsALinkToAFile)
{
    const TempDir dir;
    write_file(dir.file("real.ini"), "[DB]\nVersion=20240101\n");
    fs::create_symlink(dir.file("real.ini"), dir.file("tsetting.ini"));
    EXPECT_EQ(read_installed_version(dir.file("tsetting.ini")), "20240101");
}

// 1 GiB of NULs without a line break, then the section: read through to the end with the
// memory of one read window.
TEST(ReadInstalledVersion, HugeSparseFileReadsInBoundedMemory)
{
    const TempDir dir;
    const std::string path = dir.file("tsetting.ini");
    const std::string tail = "\n[DB]\nVersion=20240101\n";
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), kHugeFileBytes), static_cast<ssize_t>(tail.size()));
        ::close(fd);
    }
    const auto out = run_in_child([&] {
        const long before = peak_resident_kib();
        const std::string version = read_installed_version(path);
        return version + " " + std::to_string(peak_resident_kib() - before);
    });
    ASSERT_TRUE(out.has_value());
    const std::size_t space = out->find(' ');
    ASSERT_NE(space, std::string::npos);
    EXPECT_EQ(out->substr(0, space), "20240101");
    const long growth = std::stol(out->substr(space + 1));
    EXPECT_LT(growth, kMaxPeakGrowthKiB);
    RecordProperty("peak_growth_kib", std::to_string(growth));
}

} // namespace
} // namespace kestrival::version
