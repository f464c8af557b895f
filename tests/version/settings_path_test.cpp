#include "version/settings_path.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

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

class SettingsPathBeside : public ::testing::TestWithParam<JoinCase> { };

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
                      JoinCase {"BackslashIsNoSeparator", "C:\\dir\\kestrival.exe", std::nullopt},
                      JoinCase {"Empty", "", std::nullopt},
                      JoinCase {"FarBeyondAnyPathLimit", kVeryLongDir + "/kestrival", kVeryLongDir + "/tsetting.ini"}),
    [](const auto &row) { return std::string(row.param.name); });

// What a copy of this executable placed at `executable` reports; empty when it failed.
std::string settings_path_reported_by(const std::string &executable, bool delete_self = false)
{
    const std::string command
        = "'" + executable + "' " + kPrintFlag + (delete_self ? " " : "") + (delete_self ? kDeleteSelfFlag : "");
    FILE *out = ::popen(command.c_str(), "r");
    std::string text;
    char buf[512];
    for (std::size_t got; out != nullptr && (got = std::fread(buf, 1, sizeof buf, out)) > 0;)
        text.append(buf, got);
    return out != nullptr && ::pclose(out) == 0 ? text : std::string();
}

TEST(BuildSettingsPath, NamesTheFileBesideTheRunningExecutable)
{
    const auto path = build_settings_path();
    ASSERT_TRUE(path.has_value());
    ASSERT_TRUE(path->ends_with("/tsetting.ini"));
    const std::string dir = path->substr(0, path->size() - std::strlen("tsetting.ini"));

    EXPECT_TRUE(std::filesystem::equivalent(dir + "settings_path_test", "/proc/self/exe")) << dir;
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
    const std::string copy = dir + "/settings_path_test";
    std::filesystem::copy_file("/proc/self/exe", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
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
        if (argc == 3 && std::strcmp(argv[2], kDeleteSelfFlag) == 0
            && !std::filesystem::remove(std::filesystem::read_symlink("/proc/self/exe")))
            return 1;
        const auto path = build_settings_path();
        std::fputs(path ? path->c_str() : kNoPath, stdout);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
