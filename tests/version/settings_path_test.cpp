#include "version/settings_path.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

using testing::ScratchDir;

// Run as `settings_path_test --print-settings-path`, the executable prints what it finds;
// with the second flag it deletes its own file first.
constexpr const char *kPrintFlag = "--print-settings-path";
constexpr const char *kDeleteSelfFlag = "--delete-self-first";
constexpr const char *kNoPath = "<none>";

// Longer than the original's 260-byte path and than the first buffer the path is read into.
constexpr std::size_t kLongDirComponents = 8;
constexpr std::size_t kLongDirComponentBytes = 200;

struct JoinCase {
    const char *name;
    std::string executable;
    std::optional<std::string> expected;
};

class SettingsPathBeside : public ::testing::TestWithParam<JoinCase> {};

TEST_P(SettingsPathBeside, JoinsTheExecutablesDirectoryWithTheFileName)
{
    EXPECT_EQ(settings_path_beside(GetParam().executable), GetParam().expected);
}

const std::string kVeryLongDir = "/" + std::string(10000, 'd');

INSTANTIATE_TEST_SUITE_P(
    Paths, SettingsPathBeside,
    ::testing::Values(JoinCase {"Absolute", "/opt/kestrival/kestrival", "/opt/kestrival/tsetting.ini"},
                      JoinCase {"AtTheRoot", "/kestrival", "/tsetting.ini"},
                      JoinCase {"Relative", "bin/kestrival", "bin/tsetting.ini"},
                      JoinCase {"OnlyTheLastSlashCuts", "/a/b.c/d", "/a/b.c/tsetting.ini"},
                      JoinCase {"BackslashIsNoSeparator", "C:\\dir\\kestrival.exe", std::nullopt},
                      JoinCase {"NoSlash", "kestrival", std::nullopt},
                      JoinCase {"Empty", "", std::nullopt},
                      JoinCase {"FarBeyondAnyPathLimit", kVeryLongDir + "/kestrival",
                                kVeryLongDir + "/tsetting.ini"}),
    [](const auto &row) { return std::string(row.param.name); });

// What a copy of this executable placed at `executable` reports; empty when it failed.
std::string settings_path_reported_by(const std::string &executable, bool delete_self = false)
{
    int out[2];
    if (::pipe(out) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::execl(executable.c_str(), executable.c_str(), kPrintFlag, delete_self ? kDeleteSelfFlag : nullptr,
                static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t got; (got = ::read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(got));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : std::string();
}

TEST(BuildSettingsPath, NamesTheFileBesideTheRunningExecutable)
{
    const auto path = build_settings_path();
    ASSERT_TRUE(path.has_value());
    ASSERT_TRUE(path->ends_with("/tsetting.ini"));
    const std::string dir = path->substr(0, path->size() - std::strlen("tsetting.ini"));

    struct stat beside {};
    struct stat running {};
    ASSERT_EQ(::stat((dir + "settings_path_test").c_str(), &beside), 0) << dir;
    ASSERT_EQ(::stat("/proc/self/exe", &running), 0);
    EXPECT_EQ(beside.st_ino, running.st_ino);
    EXPECT_EQ(beside.st_dev, running.st_dev);
}

TEST(BuildSettingsPath, IgnoresTheWorkingDirectory)
{
    const ScratchDir elsewhere;
    const auto before = build_settings_path();
    const testing::WorkingDir cwd(elsewhere.path());
    EXPECT_EQ(build_settings_path(), before);
}

std::string copy_of_this_executable(const std::string &dir)
{
    std::string self(4096, '\0');
    self.resize(static_cast<std::size_t>(::readlink("/proc/self/exe", self.data(), self.size())));
    const std::string copy = dir + "/settings_path_test";
    EXPECT_EQ(std::system(("cp '" + self + "' '" + copy + "'").c_str()), 0);
    return copy;
}

TEST(BuildSettingsPath, HasNoLimitOnTheDirectorysLength)
{
    const ScratchDir scratch;
    std::string dir = scratch.path();
    for (std::size_t i = 0; i < kLongDirComponents; ++i) {
        dir += "/" + std::string(kLongDirComponentBytes, static_cast<char>('a' + i));
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0) << dir;
    }
    const std::string copy = copy_of_this_executable(dir);
    EXPECT_EQ(settings_path_reported_by(copy), dir + "/tsetting.ini");
}

TEST(BuildSettingsPath, FailsOnceTheExecutableIsDeleted)
{
    const ScratchDir scratch;
    const std::string copy = copy_of_this_executable(scratch.path());
    EXPECT_EQ(settings_path_reported_by(copy, true), kNoPath);
}

} // namespace
} // namespace kestrival::version

int main(int argc, char **argv)
{
    using namespace kestrival::version;
    if (argc >= 2 && std::strcmp(argv[1], kPrintFlag) == 0) {
        if (argc == 3 && std::strcmp(argv[2], kDeleteSelfFlag) == 0) {
            std::string self(4096, '\0');
            self.resize(static_cast<std::size_t>(::readlink("/proc/self/exe", self.data(), self.size())));
            if (::unlink(self.c_str()) != 0)
                return 1;
        }
        const auto path = build_settings_path();
        std::fputs(path ? path->c_str() : kNoPath, stdout);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
