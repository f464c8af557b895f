#include "posix/support_posix.h"
#include "support.h"
#include "version/install_check.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

constexpr const char *kName = "HarrowglimmerPatch.dat";

class InScratchDir {
protected:
    testing::ScratchDir dir_;
    const std::string name_ = dir_.file(kName);
};

// What stands at the name (see make_node).
struct CheckCase {
    const char *name;
    const char *link_to;
    mode_t mode;
    bool expected;
};
void PrintTo(const CheckCase &c, std::ostream *out) { *out << c.name; }

class CheckInstallationFile : public ::testing::TestWithParam<CheckCase>, protected InScratchDir { };

TEST_P(CheckInstallationFile, AcceptsOnlyAWritableRegularFile)
{
    // Root opens the file all the same, so only the bits decide; a non-owner in the group
    // needs a file another user owns.
    if (GetParam().mode == (S_IFREG | 0460) && ::geteuid() != 0)
        GTEST_SKIP() << "a file writable by its group only needs root to set up";
    testing::make_node(name_, GetParam().link_to, GetParam().mode);
    const auto before = testing::list_dir(dir_.path());
    EXPECT_EQ(check_installation_file(name_), GetParam().expected);
    EXPECT_EQ(testing::list_dir(dir_.path()), before) << "the check created or removed a file";
}

INSTANTIATE_TEST_SUITE_P(Files, CheckInstallationFile,
                         ::testing::Values(CheckCase {"WritableFile", nullptr, S_IFREG | 0644, true},
                                           CheckCase {"WritableByGroupOnly", nullptr, S_IFREG | 0460, true},
                                           CheckCase {"Missing", nullptr, 0, false},
                                           CheckCase {"ReadOnlyByItsBitsEvenForRoot", nullptr, S_IFREG | 0444, false},
                                           CheckCase {"Directory", nullptr, S_IFDIR | 0755, false},
                                           CheckCase {"Fifo", nullptr, S_IFIFO | 0666, false},
                                           CheckCase {"LinkToDevice", "/dev/null", 0, false}),
                         [](const auto &row) { return std::string(row.param.name); });

class InstallationFileLocked : public ::testing::Test, protected InScratchDir { };

// Held through another open file: fcntl locks of both kinds conflict with the check's even
// in one process, as flock locks of other open files do.
TEST_F(InstallationFileLocked, FailsWhileAnyKindOfLockIsHeldAndPassesAfter)
{
    testing::write_file(name_, "content");
    struct flock range { };
    range.l_type = F_RDLCK;
    range.l_len = 1;
    for (const int command : {F_SETLK, F_OFD_SETLK, 0}) {
        const int fd = ::open(name_.c_str(), O_RDWR);
        ASSERT_EQ(command == 0 ? ::flock(fd, LOCK_SH) : ::fcntl(fd, command, &range), 0);
        EXPECT_FALSE(check_installation_file(name_)) << command;
        ::close(fd);
        EXPECT_TRUE(check_installation_file(name_)) << command;
    }
}

} // namespace
} // namespace kestrival::version
