#include "version/install_check.h"

#include "support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

using testing::ScratchDir;
using testing::WorkingDir;

constexpr const char *kName = "HarrowglimmerPatch.dat";

struct CheckCase {
    const char *name;
    std::function<void()> prepare;
    bool expected;
};

class InScratchDir {
protected:
    ScratchDir dir_;
    WorkingDir cwd_ {dir_.path()};
};

class CheckInstallationFile : public ::testing::TestWithParam<CheckCase>, protected InScratchDir { };

TEST_P(CheckInstallationFile, AcceptsOnlyAWritableRegularFile)
{
    GetParam().prepare();
    const auto before = testing::list_dir(".");
    EXPECT_EQ(check_installation_file(kName), GetParam().expected);
    EXPECT_EQ(testing::list_dir("."), before) << "the check created or removed a file";
}

void regular(mode_t mode)
{
    testing::write_file(kName, "content");
    ASSERT_EQ(::chmod(kName, mode), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CheckInstallationFile,
    ::testing::Values(CheckCase {"WritableFile", [] { regular(0644); }, true},
                      CheckCase {"WritableByGroupOnly", [] { regular(0460); }, true},
                      CheckCase {"Missing", [] {}, false},
                      CheckCase {"ReadOnlyByItsBitsEvenForRoot", [] { regular(0444); }, false},
                      CheckCase {"Directory", [] { ASSERT_EQ(::mkdir(kName, 0755), 0); }, false},
                      CheckCase {"Fifo", [] { ASSERT_EQ(::mkfifo(kName, 0666), 0); }, false},
                      CheckCase {"LinkToRegularFile",
                                 [] {
                                     testing::write_file("target.dat", "content");
                                     ASSERT_EQ(::symlink("target.dat", kName), 0);
                                 },
                                 true},
                      CheckCase {"DanglingLink", [] { ASSERT_EQ(::symlink("target.dat", kName), 0); }, false},
                      CheckCase {"LinkToDevice", [] { ASSERT_EQ(::symlink("/dev/null", kName), 0); }, false}),
    [](const auto &row) { return std::string(row.param.name); });

enum class LockKind { OpenFileDescription, Process, Flock };
const char *const kLockNames[] = {"OpenFileDescriptionLock", "ProcessLock", "Flock"};

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
            const int command = kind == LockKind::Process ? F_SETLK : F_OFD_SETLK;
            const bool locked
                = kind == LockKind::Flock ? ::flock(fd, LOCK_SH | LOCK_NB) == 0 : ::fcntl(fd, command, &range) == 0;
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
    const LockHolder next(kName, GetParam());
    EXPECT_TRUE(next.locked());
}

INSTANTIATE_TEST_SUITE_P(Locks, LockedByAnotherProcess,
                         ::testing::Values(LockKind::OpenFileDescription, LockKind::Process, LockKind::Flock),
                         [](const auto &row) { return std::string(kLockNames[static_cast<int>(row.param)]); });

} // namespace
} // namespace kestrival::version
