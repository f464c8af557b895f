#include "version/install_check.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

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

class CheckInstallationFile : public ::testing::TestWithParam<CheckCase> {
protected:
    ScratchDir dir_;
    WorkingDir cwd_ {dir_.path()};
};

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
    ::testing::Values(
        CheckCase {"WritableFile", [] { regular(0644); }, true},
        CheckCase {"WritableByGroupOnly", [] { regular(0460); }, true},
        CheckCase {"EmptyFile", [] { testing::write_file(kName, ""); }, true},
        CheckCase {"Missing", [] {}, false},
        CheckCase {"ReadOnlyByItsBitsEvenForRoot", [] { regular(0444); }, false},
        CheckCase {"NoPermissionsAtAll", [] { regular(0); }, false},
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

// A child process that holds a lock of `kind` on the file until it is told to let go.
class LockHolder {
public:
    LockHolder(const std::string &path, LockKind kind)
    {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), O_RDWR);
            if (fd < 0 || !lock(fd, kind))
                ::_exit(1);
            const char done = 'L';
            if (::write(ready[1], &done, 1) != 1)
                ::_exit(1);
            char ignored;
            while (::read(release[0], &ignored, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char done = 0;
        locked_ = ::read(ready[0], &done, 1) == 1 && done == 'L';
        ::close(ready[0]);
    }
    ~LockHolder()
    {
        ::close(release_);
        int status = 0;
        ::waitpid(child_, &status, 0);
    }
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;
    [[nodiscard]] bool locked() const { return locked_; }

private:
    static bool lock(int fd, LockKind kind)
    {
        struct flock range {};
        range.l_type = F_RDLCK;
        range.l_whence = SEEK_SET;
        range.l_len = 1;
        switch (kind) {
        case LockKind::OpenFileDescription: return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
        case LockKind::Process: return ::fcntl(fd, F_SETLK, &range) == 0;
        case LockKind::Flock: return ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        }
        return false;
    }

    pid_t child_ = -1;
    int release_ = -1;
    bool locked_ = false;
};

class LockedByAnotherProcess : public ::testing::TestWithParam<LockKind> {
protected:
    ScratchDir dir_;
    WorkingDir cwd_ {dir_.path()};
};

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
                         [](const auto &row) {
                             switch (row.param) {
                             case LockKind::OpenFileDescription: return "OpenFileDescriptionLock";
                             case LockKind::Process: return "ProcessLock";
                             case LockKind::Flock: return "Flock";
                             }
                             return "";
                         });

} // namespace
} // namespace kestrival::version
