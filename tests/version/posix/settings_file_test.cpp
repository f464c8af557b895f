#include "posix/support_posix.h"
#include "support.h"
#include "version/settings_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <random>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>

namespace kestrival::version {
namespace {

// Calls of the code under test that a test makes fail, as a full disk or failing device would:
// the call after `skip` successful ones fails once with `error`.
enum class Call { Create, Write, Fsync, Fchmod, Fchown, SetXattr, Rename, None };
struct Fault {
    int skip = 0;
    int error = 0;
};
Fault faults[static_cast<std::size_t>(Call::None) + 1];

void arm_fault(Call call, int error, int skip = 0) { faults[static_cast<std::size_t>(call)] = {skip, error}; }

bool fails(Call call)
{
    Fault &f = faults[static_cast<std::size_t>(call)];
    return f.error != 0 && f.skip-- <= 0 && (errno = std::exchange(f.error, 0)) != 0;
}

} // namespace
} // namespace kestrival::version

// The test is linked with --wrap for each of these, so the library's calls come here first.
// clang-format off
#define KESTRIVAL_WRAP(type, fn, call, params, args) extern "C" type __real_##fn params; \
    extern "C" type __wrap_##fn params { return kestrival::version::fails(kestrival::version::Call::call) ? -1 : __real_##fn args; }
KESTRIVAL_WRAP(int, mkostemp, Create, (char *t, int flags), (t, flags))
KESTRIVAL_WRAP(ssize_t, pwrite, Write, (int fd, const void *b, size_t n, off_t at), (fd, b, n, at))
KESTRIVAL_WRAP(int, fsync, Fsync, (int fd), (fd))
KESTRIVAL_WRAP(int, fchmod, Fchmod, (int fd, mode_t mode), (fd, mode))
KESTRIVAL_WRAP(int, fchown, Fchown, (int fd, uid_t uid, gid_t gid), (fd, uid, gid))
KESTRIVAL_WRAP(int, fsetxattr, SetXattr, (int fd, const char *n, const void *v, size_t s, int f), (fd, n, v, s, f))
KESTRIVAL_WRAP(int, renameat, Rename, (int a, const char *b, int c, const char *d), (a, b, c, d))
// clang-format on

namespace kestrival::version {
namespace {

using testing::list_dir;
using testing::read_file;
using testing::write_file;

constexpr const char *kOldStamp = "20240101";
constexpr const char *kNewStamp = "20250615";
// Several copy buffers' worth of other content around the version, so a copy takes many writes.
constexpr std::size_t kPaddingBytes = 300 * 1024;
// Enough to make a kill land in the middle of copying now and then, yet keep the loops quick.
constexpr std::size_t kSmallPaddingBytes = 8 * 1024;
constexpr int kKillRounds = 10;
// Per round: the killed writer's writes at most, the other's, and how many of the first's
// finish before the kill at most; it comes a random moment into the next.
constexpr int kWritesPerRound = 200;
constexpr int kConcurrentWrites = 20;
constexpr int kMaxWritesBeforeKill = 10;
constexpr useconds_t kMaxKillDelayMicroseconds = 3000;
constexpr auto kShortLockWait = std::chrono::milliseconds(50);
constexpr uid_t kNobody = 65534;
constexpr off_t kHoleBytes = off_t {1} << 30;
constexpr long kMaxSparseDiskBytes = 1 << 20;
constexpr long kMaxPeakGrowthKiB = 32 * 1024;
constexpr const char *kUserAttr = "user.kestrival";
constexpr const char *kAclAttr = "system.posix_acl_access";
// An access ACL: version 2, then entries of tag, permissions (16 bits each) and id (32):
// owner rw-, user daemon (1) rw-, group r--, mask rw-, other r--.
const std::string
    kAclWithDaemonEntry("\x02\0\0\0\x01\0\x06\0\xff\xff\xff\xff\x02\0\x06\0\x01\0\0\0"
                        "\x04\0\x04\0\xff\xff\xff\xff\x10\0\x06\0\xff\xff\xff\xff\x20\0\x04\0\xff\xff\xff\xff",
                        44);

std::string settings(const std::string &version, std::size_t padding = kSmallPaddingBytes)
{
    return "; " + std::string(padding, 'a') + "\r\n[Other]\r\nVersion=keep\r\n[DB]\r\nVersion=" + version
        + "\r\nPath=C:\\x\r\n; " + std::string(padding, 'b') + "\r\n";
}

struct stat stat_of(const std::string &path)
{
    struct stat st { };
    ::lstat(path.c_str(), &st);
    return st;
}

// Runs `body` as the user nobody in a child process when we are root, else here; its result.
bool unprivileged(const std::function<bool()> &body)
{
    if (::geteuid() != 0)
        return body();
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0
                        && ::setresuid(kNobody, kNobody, kNobody) == 0 && body()
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A scratch directory and the settings path in it; no fault or lock-out outlives a test.
class InScratchDir {
protected:
    ~InScratchDir()
    {
        std::fill(std::begin(faults), std::end(faults), Fault {});
        ::chmod(dir_.path().c_str(), 0700);
    }
    testing::ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
    const std::string other_ = dir_.file("other-link.ini");
};

class SettingsFile : public ::testing::Test, protected InScratchDir { };

// A chain of links stays and its end is replaced; a dangling link's target is created.
TEST_F(SettingsFile, WritesAtTheEndOfTheLinks)
{
    write_file(dir_.file("real.ini"), settings(kOldStamp));
    testing::make_node(path_, "middle.ini", 0);
    testing::make_node(dir_.file("middle.ini"), dir_.file("real.ini").c_str(), 0);
    testing::make_node(dir_.file("dangling.ini"), "new.ini", 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    ASSERT_TRUE(write_installed_version(dir_.file("dangling.ini"), kNewStamp));
    EXPECT_EQ(read_file(dir_.file("real.ini")), settings(kNewStamp));
    EXPECT_EQ(read_installed_version(dir_.file("new.ini")), kNewStamp);
    for (const char *link : {"tsetting.ini", "middle.ini", "dangling.ini"})
        EXPECT_TRUE(S_ISLNK(stat_of(dir_.file(link)).st_mode)) << link;
}

// Two writers at once, one killed at a random moment, while this process reads: a reader sees
// the old or the new file, the other writer never fails, and at most the killed writer's
// temporary file is left, which the next write removes (with one left earlier, and only that).
TEST_F(SettingsFile, WritersAtOnceAndAKilledOneNeverMixOrBreakTheFile)
{
    const std::string before = settings(kOldStamp);
    write_file(path_, before);
    write_file(dir_.file(".tsetting.ini.kestrival-Ab12Cd"), "left by a killed writer");
    write_file(dir_.file(".tsetting.ini.kestrival-long"), "not ours");
    const char *given = std::getenv("KESTRIVAL_TEST_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(std::stoul(given)) : std::random_device {}();
    std::printf("KESTRIVAL_TEST_SEED=%u\n", seed);
    std::mt19937 random(seed);
    for (int round = 0; round < kKillRounds; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        // Each writes the two stamps in turn; the first reports each finished write and is killed.
        pid_t writers[2];
        for (int w = 0; w < 2; ++w) {
            if ((writers[w] = ::fork()) != 0)
                continue;
            for (int i = 0; i < (w == 0 ? kWritesPerRound : kConcurrentWrites); ++i) {
                if (!write_installed_version(path_, (i + w) % 2 == 0 ? kNewStamp : kOldStamp)
                    || (w == 0 && ::write(progress[1], "", 1) != 1))
                    ::_exit(1);
            }
            ::_exit(0);
        }
        ::close(progress[1]);
        char done;
        for (int writes = std::uniform_int_distribution(0, kMaxWritesBeforeKill)(random);
             writes-- > 0 && ::read(progress[0], &done, 1) == 1;) {
            const std::string seen = read_file(path_);
            EXPECT_TRUE(seen == before || seen == settings(kNewStamp)) << "a reader saw a mixed file";
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, kMaxKillDelayMicroseconds)(random));
        ::kill(writers[0], SIGKILL);
        int status = 0;
        ::waitpid(writers[0], nullptr, 0);
        ::waitpid(writers[1], &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other writer failed";
        ::close(progress[0]);

        const std::string left = read_file(path_);
        EXPECT_TRUE(left == before || left == settings(kNewStamp)) << "round " << round << ": a mixed or partial file";
        EXPECT_LE(list_dir(dir_.path()).size(), 4u) << "more than one temporary file";
        ASSERT_TRUE(write_installed_version(path_, kOldStamp));
        EXPECT_EQ(list_dir(dir_.path()), (std::set<std::string> {".tsetting.ini.kestrival-long", "tsetting.ini"}));
        ASSERT_EQ(read_file(path_), before);
    }
}

std::string xattr_of(const std::string &path, const char *name)
{
    std::string value(256, '\0');
    const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
    return value.substr(0, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
}

// What a write keeps besides the bytes; the inode where the file must keep its identity.
auto metadata_of(const std::string &path, bool with_inode)
{
    const struct stat st = stat_of(path);
    return std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777, with_inode ? st.st_ino : 0, xattr_of(path, kAclAttr),
                      xattr_of(path, kUserAttr));
}

// One write: what stands at the path (see make_node) in a folder of bits `dir_mode`; a second
// link; an attribute on the file (an ACL with an entry for daemon, or "kept"); a file of root
// and group nobody that nobody writes (root only), or a write by nobody when we are root;
// another writer holding the folder; a call that fails with `error` after `skip` good ones.
// Expected: the failure (`reported` an errno: WriteError::System), and whether the file keeps
// its inode. A failed write changes nothing; any write keeps owner, group, mode, attributes.
struct WriteCase {
    const char *name;
    const char *link_to = nullptr;
    mode_t node = S_IFREG | 0644;
    mode_t dir_mode = 0755;
    bool linked = false;
    const char *attr = nullptr;
    bool root_owned = false;
    bool unprivileged = false;
    bool locked = false;
    Call call = Call::None;
    int error = 0;
    int skip = 0;
    WriteError kind = WriteError::None;
    int reported = 0;
    bool in_place = false;
};
void PrintTo(const WriteCase &c, std::ostream *out) { *out << c.name; }

class OneWrite : public ::testing::TestWithParam<WriteCase>, protected InScratchDir { };

TEST_P(OneWrite, KeepsAllButTheValueAndChangesNothingWhenItFails)
{
    const WriteCase &c = GetParam();
    if (c.root_owned && ::geteuid() != 0)
        GTEST_SKIP() << "setting up a file another user owns needs root";
    testing::make_node(path_, c.link_to, c.node, settings(kOldStamp, kPaddingBytes));
    const bool regular = S_ISREG(stat_of(path_).st_mode);
    // As root, a file of another owner and group, which root can give back.
    ASSERT_TRUE(!regular || ::geteuid() != 0 || ::chown(path_.c_str(), c.root_owned ? 0 : kNobody, kNobody) == 0);
    ASSERT_EQ(::chmod(dir_.path().c_str(), c.dir_mode), 0);
    ASSERT_TRUE(!c.linked || ::link(path_.c_str(), other_.c_str()) == 0);
    const std::string value = c.attr == kAclAttr ? kAclWithDaemonEntry : "kept";
    if (c.attr && ::setxattr(path_.c_str(), c.attr, value.data(), value.size(), 0) != 0)
        GTEST_SKIP() << "the file system of " << dir_.path() << " has no " << c.attr;
    const auto names = list_dir(dir_.path());
    const std::string before = regular ? read_file(path_) : ""; // a FIFO's read would block
    const bool written = c.kind == WriteError::None && c.reported == 0;
    const auto metadata = metadata_of(path_, c.in_place || !written);
    EXPECT_EQ(read_installed_version(path_), regular ? kOldStamp : "");
    const int other_writer = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(!c.locked || ::flock(other_writer, LOCK_EX) == 0);
    arm_fault(c.call, c.error, c.skip);
    const auto outcome = [&] {
        const WriteResult result = write_installed_version(path_, kNewStamp, kShortLockWait);
        std::fprintf(stderr, "%s: %s\n", c.name, result.error.c_str());
        return result.kind == (c.reported != 0 ? WriteError::System : c.kind) && result.system_error == c.reported;
    };
    EXPECT_TRUE(c.unprivileged || c.root_owned ? unprivileged(outcome) : outcome());
    ::close(other_writer);
    EXPECT_EQ(list_dir(dir_.path()), names);
    EXPECT_EQ(regular ? read_file(path_) : "", written ? settings(kNewStamp, kPaddingBytes) : before);
    EXPECT_EQ(metadata_of(path_, c.in_place || !written), metadata);
}

constexpr mode_t kFile = S_IFREG | 0644;

// A fault the write reports, in a file of `node` (0: none).
WriteCase fault(const char *name, Call call, int error, mode_t node = kFile, int skip = 0)
{
    return {.name = name, .node = node, .call = call, .error = error, .skip = skip, .reported = error};
}
using enum WriteError;

INSTANTIATE_TEST_SUITE_P(
    Cases, OneWrite,
    ::testing::Values(
        WriteCase {.name = "Directory", .node = S_IFDIR | 0755, .kind = NotAFile},
        WriteCase {.name = "Fifo", .node = S_IFIFO | 0666, .kind = NotAFile},
        WriteCase {.name = "LinkToDevice", .link_to = "/dev/zero", .kind = NotAFile},
        WriteCase {.name = "ReadOnlyFileEvenForRoot", .node = S_IFREG | 0444, .kind = ReadOnly},
        WriteCase {.name = "LinkLoop", .link_to = "tsetting.ini", .reported = ELOOP},
        WriteCase {.name = "MissingDirectory", .link_to = "gone/tsetting.ini", .reported = ENOENT},
        WriteCase {.name = "FolderLockedTooLong", .locked = true, .kind = Busy},
        WriteCase {.name = "UnwritableDirectoryWritableFile",
                   .node = S_IFREG | 0666,
                   .dir_mode = 0555,
                   .unprivileged = true,
                   .in_place = true},
        WriteCase {.name = "NewFileInUnwritableDirectory",
                   .node = 0,
                   .dir_mode = 0555,
                   .unprivileged = true,
                   .reported = EACCES},
        // Writable by its group only, and the writer isn't in it.
        WriteCase {.name = "UnwritableFile",
                   .node = S_IFREG | 0464,
                   .dir_mode = 0777,
                   .unprivileged = true,
                   .reported = EACCES},
        fault("DiskFullAtCreate", Call::Create, ENOSPC), fault("NewFileDiskFullAtCreate", Call::Create, ENOSPC, 0),
        fault("DiskFullAtFirstWrite", Call::Write, ENOSPC), fault("IoErrorMidCopy", Call::Write, EIO, kFile, 3),
        fault("DiskFullAtFlush", Call::Fsync, ENOSPC), fault("NewFileIoErrorAtFlush", Call::Fsync, EIO, 0),
        fault("IoErrorAtRename", Call::Rename, EIO), fault("NewFileIoErrorAtRename", Call::Rename, EIO, 0),
        fault("PermissionsCantBeSet", Call::Fchmod, EPERM),
        WriteCase {.name = "InPlaceDiskFull", .linked = true, .call = Call::Write, .error = ENOSPC, .reported = ENOSPC},
        // The new file is complete and in place by then; only its survival of a power cut is less sure.
        WriteCase {.name = "DirectoryFlushFailsAfterTheRename", .call = Call::Fsync, .error = EIO, .skip = 1},
        WriteCase {.name = "Mode", .node = S_IFREG | 0640},
        WriteCase {.name = "HardLink", .linked = true, .in_place = true},
        WriteCase {.name = "AclEntry", .node = S_IFREG | 0664, .attr = kAclAttr},
        WriteCase {.name = "UserAttribute", .attr = kUserAttr},
        WriteCase {.name = "OwnerCantBeGiven", .call = Call::Fchown, .error = EPERM, .in_place = true},
        WriteCase {.name = "AttributeCantBeGiven",
                   .attr = kUserAttr,
                   .call = Call::SetXattr,
                   .error = EPERM,
                   .in_place = true},
        WriteCase {.name = "RootOwnedGroupWritable",
                   .node = S_IFREG | 0664,
                   .dir_mode = 0777,
                   .root_owned = true,
                   .in_place = true}),
    [](const auto &row) { return std::string(row.param.name); });

long peak_resident_kib()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// 1 GiB holes before and after the version: a read scans the first in bounded memory; writes,
// by a new file and in place, keep both.
TEST_F(SettingsFile, AHugeSparseFileIsReadInBoundedMemoryAndStaysSparse)
{
    const std::string middle = "\n[DB]\r\nVersion=1\r\n";
    const std::string end = "; end\r\n";
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::pwrite(fd, middle.data(), middle.size(), kHoleBytes), static_cast<ssize_t>(middle.size()));
    ASSERT_EQ(::pwrite(fd, end.data(), end.size(), 2 * kHoleBytes + static_cast<off_t>(middle.size())), 7);
    ::close(fd);
    const long peak = peak_resident_kib();
    EXPECT_EQ(read_installed_version(path_), "1");
    EXPECT_LT(peak_resident_kib() - peak, kMaxPeakGrowthKiB);
    for (const std::string stamp : {kNewStamp, "123456789"}) {
        ASSERT_TRUE(write_installed_version(path_, stamp));
        const struct stat st = stat_of(path_);
        EXPECT_EQ(st.st_size, 2 * kHoleBytes + static_cast<off_t>(middle.size() + stamp.size() - 1 + end.size()));
        EXPECT_LT(st.st_blocks * 512, kMaxSparseDiskBytes);
        std::string tail(end.size(), '\0');
        std::ifstream(path_).seekg(st.st_size - 7).read(tail.data(), 7);
        EXPECT_EQ(tail, end);
        ASSERT_TRUE(st.st_nlink > 1 || ::link(path_.c_str(), other_.c_str()) == 0);
    }
    EXPECT_EQ(read_installed_version(other_), "123456789");
}

} // namespace
} // namespace kestrival::version
