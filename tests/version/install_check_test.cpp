#include "support.h"
#include "version/install_check.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

constexpr const char *kName = "HarrowglimmerPatch.dat";

class InScratchDir {
protected:
    testing::ScratchDir dir_;
    testing::WorkingDir cwd_ {dir_.path()};
};

// What stands at the name: a link to `link_to` (beside a regular target.dat), else a node of
// type and bits `mode`, nothing when 0.
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
    testing::make_node("target.dat", nullptr, S_IFREG | 0644);
    testing::make_node(kName, GetParam().link_to, GetParam().mode);
    const auto before = testing::list_dir(".");
    EXPECT_EQ(check_installation_file(kName), GetParam().expected);
    EXPECT_EQ(testing::list_dir("."), before) << "the check created or removed a file";
}

INSTANTIATE_TEST_SUITE_P(Files, CheckInstallationFile,
                         ::testing::Values(CheckCase {"WritableFile", nullptr, S_IFREG | 0644, true},
                                           CheckCase {"WritableByGroupOnly", nullptr, S_IFREG | 0460, true},
                                           CheckCase {"Missing", nullptr, 0, false},
                                           CheckCase {"ReadOnlyByItsBitsEvenForRoot", nullptr, S_IFREG | 0444, false},
                                           CheckCase {"Directory", nullptr, S_IFDIR | 0755, false},
                                           CheckCase {"Fifo", nullptr, S_IFIFO | 0666, false},
                                           CheckCase {"LinkToRegularFile", "target.dat", 0, true},
                                           CheckCase {"DanglingLink", "nowhere.dat", 0, false},
                                           CheckCase {"LinkToDevice", "/dev/null", 0, false}),
                         [](const auto &row) { return std::string(row.param.name); });

enum class LockKind { OpenFileDescription, Process, Flock };

// A child process that holds a lock of `kind` on the file for the holder's lifetime.
class LockHolder {
public:
    LockHolder(const char *path, LockKind kind)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        child_ = ::fork();
        if (child_ == 0) {
            struct flock range { };
            range.l_type = F_RDLCK;
            range.l_len = 1;
            const int fd = ::open(path, O_RDWR);
            const bool locked = kind == LockKind::Flock
                ? ::flock(fd, LOCK_SH | LOCK_NB) == 0
                : ::fcntl(fd, kind == LockKind::Process ? F_SETLK : F_OFD_SETLK, &range) == 0;
            if (locked && ::write(ready[1], "L", 1) == 1)
                ::pause();
            ::_exit(1);
        }
        ::close(ready[1]);
        char done = 0;
        locked_ = ::read(ready[0], &done, 1) == 1;
        ::close(ready[0]);
    }
    ~LockHolder()
    {
        if (child_ > 0 && ::kill(child_, SIGKILL) == 0)
            ::waitpid(child_, nullptr, 0);
    }
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;
    [[nodiscard]] bool locked() const { return locked_; }

private:
    pid_t child_ = -1;
    bool locked_ = false;
};

class LockedByAnotherProcess : public ::testing::TestWithParam<LockKind>, protected InScratchDir { };

TEST_P(LockedByAnotherProcess, FailsWhileTheLockIsHeldAndPassesAfter)
{
    testing::write_file(kName, "content");
    {
        const LockHolder holder(kName, GetParam());
        ASSERT_TRUE(holder.locked());
        EXPECT_FALSE(check_installation_file(kName));
    }
    EXPECT_TRUE(check_installation_file(kName));
    // The check's own locks are gone: another process can take one at once.
    EXPECT_TRUE(LockHolder(kName, GetParam()).locked());
}

INSTANTIATE_TEST_SUITE_P(Locks, LockedByAnotherProcess,
                         ::testing::Values(LockKind::OpenFileDescription, LockKind::Process, LockKind::Flock));

} // namespace
} // namespace kestrival::version
