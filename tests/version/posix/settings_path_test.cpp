#include "support.h"
#include "version/settings_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace kestrival::version {
namespace {

// Run as `settings_path_test --print-settings-path`, the executable prints what it finds;
// with the second flag it deletes its own file first.
constexpr const char *kPrintFlag = "--print-settings-path";
constexpr const char *kDeleteSelfFlag = "--delete-self-first";
constexpr const char *kNoPath = "<none>";
// Longer than a 260-byte path limit and than a first guess at a buffer for it.
constexpr std::size_t kLongDirComponents = 8;
constexpr std::size_t kLongDirComponentBytes = 200;

// What a copy of this executable in `dir` reports; empty when it failed.
std::string reported_from(const std::string &dir, bool delete_self = false)
{
    const std::string copy = dir + "/settings_path_test";
    std::filesystem::copy_file("/proc/self/exe", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    const std::string command = "'" + copy + "' " + kPrintFlag + " " + (delete_self ? kDeleteSelfFlag : "");
    FILE *out = ::popen(command.c_str(), "r");
    std::string text(kLongDirComponents * (kLongDirComponentBytes + 1) + 256, '\0');
    text.resize(out != nullptr ? std::fread(text.data(), 1, text.size(), out) : 0);
    return out != nullptr && ::pclose(out) == 0 ? text : std::string();
}

// The copies run in this test's working directory, not theirs.
TEST(BuildSettingsPath, NamesTheFileBesideTheRunningExecutableWithNoLimitAndNoneOnceItIsDeleted)
{
    const testing::ScratchDir scratch;
    std::string dir = scratch.path();
    for (std::size_t i = 0; i < kLongDirComponents; ++i)
        dir += "/" + std::string(kLongDirComponentBytes, static_cast<char>('a' + i));
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    EXPECT_EQ(reported_from(dir), dir + "/tsetting.ini");
    EXPECT_EQ(reported_from(scratch.path(), true), kNoPath);
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
