#include "support.h"
#include "version/settings_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

// Calls of the code under test that a test can make fail, as a full disk or a failing device would.
enum class Call { Create, Write, Fsync, Fchmod, Fchown, SetXattr, Rename, Count };

struct Fault {
    int skip = 0;
    int error = 0;
};
std::array<Fault, static_cast<std::size_t>(Call::Count)> faults;

// The call after `skip` successful ones fails with `error`.
void arm_fault(Call call, int error, int skip = 0) { faults[static_cast<std::size_t>(call)] = {skip, error}; }

bool fails(Call call)
{
    Fault &f = faults[static_cast<std::size_t>(call)];
    if (f.error == 0 || f.skip-- > 0)
        return false;
    errno = std::exchange(f.error, 0);
    return true;
}

} // namespace
} // namespace kestrival::version

// The test is linked with --wrap for each of these, so the library's calls come here first.
#define KESTRIVAL_WRAP(type, fn, call, params, args)                                                                   \
    extern "C" type __real_##fn params;                                                                                \
    extern "C" type __wrap_##fn params                                                                                 \
    {                                                                                                                  \
        return kestrival::version::fails(kestrival::version::Call::call) ? -1 : __real_##fn args;                      \
    }
KESTRIVAL_WRAP(int, mkostemp, Create, (char *t, int flags), (t, flags))
KESTRIVAL_WRAP(ssize_t, pwrite, Write, (int fd, const void *b, size_t n, off_t at), (fd, b, n, at))
KESTRIVAL_WRAP(int, fsync, Fsync, (int fd), (fd))
KESTRIVAL_WRAP(int, fchmod, Fchmod, (int fd, mode_t mode), (fd, mode))
KESTRIVAL_WRAP(int, fchown, Fchown, (int fd, uid_t uid, gid_t gid), (fd, uid, gid))
KESTRIVAL_WRAP(int, fsetxattr, SetXattr, (int fd, const char *n, const void *v, size_t s, int f), (fd, n, v, s, f))
KESTRIVAL_WRAP(int, renameat, Rename, (int a, const char *b, int c, const char *d), (a, b, c, d))

namespace kestrival::version {
namespace {

using testing::list_dir;
using testing::read_file;
using testing::write_file;
using Names = std::vector<std::string>;

constexpr const char *kOldStamp = "20240101";
constexpr const char *kNewStamp = "20250615";
// Several copy buffers' worth of other content around the version, so a copy takes many writes.
constexpr std::size_t kPaddingBytes = 300 * 1024;
// Enough to make a kill land in the middle of copying now and then, yet keep the loops quick.
constexpr std::size_t kSmallPaddingBytes = 8 * 1024;
constexpr int kKillRounds = 10;
constexpr int kWritesPerRound = 200;
constexpr int kConcurrentWrites = 50;
// A kill comes after up to this many finished writes, then a random moment into the next one.
constexpr int kMaxWritesBeforeKill = 10;
constexpr useconds_t kMaxKillDelayMicroseconds = 3000;
constexpr auto kShortLockWait = std::chrono::milliseconds(50);
constexpr unsigned kHangSeconds = 60;
constexpr uid_t kNobody = 65534;
constexpr uid_t kDaemon = 1;
constexpr off_t kHoleBytes = off_t {1} << 30;
constexpr long kMaxPeakGrowthKiB = 32 * 1024;
constexpr long kMaxSparseDiskBytes = 1 << 20;
constexpr const char *kUserAttr = "user.kestrival";
constexpr const char *kAclAttr = "system.posix_acl_access";

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
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0
            || ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(2);
        ::_exit(body() ? 0 : 1);
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
        faults = {};
        ::chmod(dir_.path().c_str(), 0700);
    }
    testing::ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
    const std::string other_ = dir_.file("other-link.ini");
};

class SettingsFile : public ::testing::Test, protected InScratchDir { };

TEST_F(SettingsFile, ReadsOnlyARegularFileAndNeverWaits)
{
    write_file(path_, settings(kOldStamp));
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir_.file("zero").c_str()), 0);
    ::alarm(kHangSeconds);
    EXPECT_EQ(read_installed_version(path_), kOldStamp);
    for (const std::string &path :
         {dir_.file("fifo"), dir_.path(), dir_.file("zero"), dir_.file("gone/x"), std::string()})
        EXPECT_EQ(read_installed_version(path), "") << path;
    ::alarm(0);
}

// Other content takes many copy buffers and the value changes length both ways, in a new file
// and, for a file with a second link, in place.
TEST_F(SettingsFile, ReplacesOnlyTheValueWithOrWithoutASecondLink)
{
    for (const bool linked : {false, true}) {
        write_file(path_, settings(kOldStamp, kPaddingBytes));
        ASSERT_TRUE(!linked || ::link(path_.c_str(), other_.c_str()) == 0);
        for (const std::string stamp : {"1", kNewStamp, "123456789"}) {
            const WriteResult result = write_installed_version(path_, stamp);
            ASSERT_TRUE(result) << result.error;
            EXPECT_EQ(read_file(path_), settings(stamp, kPaddingBytes));
            EXPECT_EQ(read_file(linked ? other_ : path_), read_file(path_));
        }
        EXPECT_EQ(list_dir(dir_.path()).size(), linked ? 2u : 1u);
        ::unlink(other_.c_str());
    }
}

class WriteTableOnDisk : public ::testing::TestWithParam<testing::Row>, protected InScratchDir { };

TEST_P(WriteTableOnDisk, WritesAsTheTableSaysAloneOrLinked)
{
    const testing::Row &row = GetParam();
    for (const bool linked : {false, bool(row.file)}) {
        if (row.file)
            write_file(path_, *row.file);
        ASSERT_TRUE(!linked || ::link(path_.c_str(), other_.c_str()) == 0);
        ASSERT_TRUE(write_installed_version(path_, row.second));
        EXPECT_EQ(read_file(path_), row.third);
        EXPECT_EQ(read_file(linked ? other_ : path_), row.third);
        ::unlink(path_.c_str());
        ::unlink(other_.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Tsv, WriteTableOnDisk,
                         ::testing::ValuesIn(testing::load_rows({"ini-cases/write.tsv", "ini-cases/write-own.tsv"})),
                         [](const auto &row) { return row.param.name; });

TEST_F(SettingsFile, WritesNothingWhenTheValueIsAlreadyTheStamp)
{
    write_file(path_, settings(kNewStamp));
    const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), long_ago, 0), 0);
    const ino_t inode = stat_of(path_).st_ino;
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(stat_of(path_).st_ino, inode);
    EXPECT_EQ(stat_of(path_).st_mtim.tv_sec, 1000);
}

TEST_F(SettingsFile, CreatesAMissingFileWithTheUsualModeLessTheUmask)
{
    for (const mode_t mask : {mode_t {0}, mode_t {077}}) {
        ::unlink(path_.c_str());
        const mode_t previous = ::umask(mask);
        const WriteResult result = write_installed_version(path_, kNewStamp);
        ::umask(previous);
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(read_file(path_), "[DB]\r\nVersion=20250615\r\n");
        EXPECT_EQ(stat_of(path_).st_mode & 07777, 0666 & ~mask);
    }
}

// A chain of links stays and its end is replaced; a dangling link's target is created.
TEST_F(SettingsFile, WritesAtTheEndOfTheLinks)
{
    write_file(dir_.file("real.ini"), settings(kOldStamp));
    ASSERT_EQ(::symlink("middle.ini", path_.c_str()), 0);
    ASSERT_EQ(::symlink(dir_.file("real.ini").c_str(), dir_.file("middle.ini").c_str()), 0);
    ASSERT_EQ(::mkdir(dir_.file("elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("elsewhere/new.ini", dir_.file("dangling.ini").c_str()), 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    ASSERT_TRUE(write_installed_version(dir_.file("dangling.ini"), kNewStamp));
    EXPECT_EQ(read_file(dir_.file("real.ini")), settings(kNewStamp));
    EXPECT_EQ(read_installed_version(dir_.file("elsewhere/new.ini")), kNewStamp);
    for (const char *link : {"tsetting.ini", "middle.ini", "dangling.ini"})
        EXPECT_TRUE(S_ISLNK(stat_of(dir_.file(link)).st_mode)) << link;
}

// What stands at the path (a link to `link_to`, else a node of type and bits `node`), the
// directory's bits, whether an unprivileged user writes, and the failure expected.
struct RefusedCase {
    const char *name;
    const char *link_to;
    mode_t node;
    mode_t dir_mode;
    bool unprivileged;
    WriteError kind;
    int system_error;
};
void PrintTo(const RefusedCase &c, std::ostream *out) { *out << c.name; }

class RefusedPath : public ::testing::TestWithParam<RefusedCase>, protected InScratchDir { };

TEST_P(RefusedPath, FailsWithTheReasonAndTouchesNothing)
{
    const RefusedCase &c = GetParam();
    testing::make_node(path_, c.link_to, c.node, settings(kOldStamp));
    ASSERT_EQ(::chmod(dir_.path().c_str(), c.dir_mode), 0);
    // Reading a FIFO would block; only a regular file's bytes are compared.
    const auto content = [&] { return S_ISREG(stat_of(path_).st_mode) ? read_file(path_) : ""; };
    const Names names = list_dir(dir_.path());
    const std::string before = content();
    const auto refused = [&] {
        const WriteResult result = write_installed_version(path_, kNewStamp);
        std::fprintf(stderr, "%s: %s\n", c.name, result.error.c_str());
        return result.kind == c.kind && result.system_error == c.system_error;
    };
    EXPECT_TRUE(c.unprivileged ? unprivileged(refused) : refused());
    EXPECT_EQ(list_dir(dir_.path()), names);
    EXPECT_EQ(content(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedPath,
    ::testing::Values(
        RefusedCase {"Directory", nullptr, S_IFDIR | 0755, 0755, false, WriteError::NotAFile, 0},
        RefusedCase {"Fifo", nullptr, S_IFIFO | 0666, 0755, false, WriteError::NotAFile, 0},
        RefusedCase {"LinkToDevice", "/dev/null", 0, 0755, false, WriteError::NotAFile, 0},
        RefusedCase {"ReadOnlyFileEvenForRoot", nullptr, S_IFREG | 0444, 0755, false, WriteError::ReadOnly, 0},
        RefusedCase {"LinkLoop", "tsetting.ini", 0, 0755, false, WriteError::System, ELOOP},
        RefusedCase {"MissingDirectory", "gone/tsetting.ini", 0, 0755, false, WriteError::System, ENOENT},
        RefusedCase {"UnwritableDirectory", nullptr, S_IFREG | 0666, 0555, true, WriteError::System, EACCES},
        // Writable by its group only, and the writer isn't in it.
        RefusedCase {"UnwritableFile", nullptr, S_IFREG | 0464, 0777, true, WriteError::System, EACCES}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(SettingsFile, GivesUpWhenAnotherWriterHoldsTheDirectoryTooLong)
{
    write_file(path_, settings(kOldStamp));
    const int other_writer = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(other_writer, LOCK_EX), 0);
    const WriteResult result = write_installed_version(path_, kNewStamp, kShortLockWait);
    ::close(other_writer);
    EXPECT_EQ(result.kind, WriteError::Busy) << result.error;
    EXPECT_EQ(read_file(path_), settings(kOldStamp));
}

struct FaultCase {
    const char *name;
    Call call;
    int error;
    int skip;
    bool linked; // a second link: the file is edited in place
    bool also_new; // the same fault when there was no file leaves none
};
void PrintTo(const FaultCase &c, std::ostream *out) { *out << c.name; }

class WriteFault : public ::testing::TestWithParam<FaultCase>, protected InScratchDir { };

TEST_P(WriteFault, LeavesTheOldFileByteIdenticalAndNoTemporaryFile)
{
    const FaultCase &fault = GetParam();
    const std::string before = settings(kOldStamp, kPaddingBytes);
    write_file(path_, before);
    ASSERT_TRUE(!fault.linked || ::link(path_.c_str(), other_.c_str()) == 0);
    const Names names = list_dir(dir_.path());
    arm_fault(fault.call, fault.error, fault.skip);
    const WriteResult result = write_installed_version(path_, kNewStamp);
    EXPECT_EQ(result.kind, WriteError::System) << result.error;
    EXPECT_EQ(result.system_error, fault.error) << result.error;
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(list_dir(dir_.path()), names);
    if (!fault.also_new)
        return;
    ASSERT_EQ(::unlink(path_.c_str()), 0);
    arm_fault(fault.call, fault.error);
    EXPECT_FALSE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(list_dir(dir_.path()), Names {});
}

INSTANTIATE_TEST_SUITE_P(Steps, WriteFault,
                         ::testing::Values(FaultCase {"DiskFullAtCreate", Call::Create, ENOSPC, 0, false, true},
                                           FaultCase {"ReadOnlyFileSystem", Call::Create, EROFS, 0, false, false},
                                           FaultCase {"DiskFullAtFirstWrite", Call::Write, ENOSPC, 0, false, true},
                                           FaultCase {"IoErrorMidCopy", Call::Write, EIO, 3, false, false},
                                           FaultCase {"DiskFullAtFlush", Call::Fsync, ENOSPC, 0, false, false},
                                           FaultCase {"IoErrorAtFlush", Call::Fsync, EIO, 0, false, true},
                                           FaultCase {"IoErrorAtRename", Call::Rename, EIO, 0, false, true},
                                           FaultCase {"PermissionsCantBeSet", Call::Fchmod, EPERM, 0, false, false},
                                           FaultCase {"InPlaceDiskFull", Call::Write, ENOSPC, 0, true, false}),
                         [](const auto &row) { return std::string(row.param.name); });

TEST_F(SettingsFile, SucceedsWhenOnlyTheDirectoryFlushFailsAfterTheRename)
{
    write_file(path_, settings(kOldStamp));
    arm_fault(Call::Fsync, EIO, 1);
    EXPECT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_file(path_), settings(kNewStamp));
    EXPECT_EQ(list_dir(dir_.path()), Names {"tsetting.ini"});
}

TEST_F(SettingsFile, RemovesATemporaryFileAKilledWriterLeft)
{
    write_file(path_, settings(kOldStamp));
    write_file(dir_.file(".tsetting.ini.kestrival-Ab12Cd"), "half");
    write_file(dir_.file(".tsetting.ini.kestrival-long-name"), "not ours");
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(list_dir(dir_.path()), (Names {".tsetting.ini.kestrival-long-name", "tsetting.ini"}));
}

unsigned test_seed()
{
    const char *given = std::getenv("KESTRIVAL_TEST_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(std::stoul(given)) : std::random_device {}();
    std::printf("KESTRIVAL_TEST_SEED=%u\n", seed);
    return seed;
}

TEST_F(SettingsFile, AKilledWriterLeavesTheOldOrTheNewFileAndNoTemporaryFileOnceWrittenAgain)
{
    const std::string before = settings(kOldStamp);
    const std::string after = settings(kNewStamp);
    write_file(path_, before);
    std::mt19937 random(test_seed());
    for (int round = 0; round < kKillRounds; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t writer = ::fork();
        // The child writes the two stamps in turn and reports each finished write.
        for (int i = 0; writer == 0 && i < kWritesPerRound; ++i) {
            if (!write_installed_version(path_, i % 2 == 0 ? kNewStamp : kOldStamp) || ::write(progress[1], "", 1) != 1)
                ::_exit(1);
        }
        if (writer == 0)
            ::_exit(0);
        ::close(progress[1]);
        char done;
        int writes = std::uniform_int_distribution(0, kMaxWritesBeforeKill)(random);
        while (writes-- > 0 && ::read(progress[0], &done, 1) == 1) { }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, kMaxKillDelayMicroseconds)(random));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        ::close(progress[0]);

        const std::string left = read_file(path_);
        EXPECT_TRUE(left == before || left == after) << "round " << round << ": a mixed or partial file";
        // Killed between creating its file and renaming it, a writer can leave that one file.
        Names names = list_dir(dir_.path());
        std::erase(names, "tsetting.ini");
        EXPECT_LE(names.size(), 1u);
        for (const auto &name : names)
            EXPECT_TRUE(name.starts_with(".tsetting.ini.kestrival-")) << name;
        ASSERT_TRUE(write_installed_version(path_, kOldStamp));
        EXPECT_EQ(list_dir(dir_.path()), Names {"tsetting.ini"});
        ASSERT_EQ(read_file(path_), before);
    }
}

TEST_F(SettingsFile, TwoProcessesWritingAtOnceNeverMixTheFile)
{
    const std::string before = settings(kOldStamp);
    const std::string after = settings(kNewStamp);
    write_file(path_, before);
    for (int w = 0; w < 2; ++w) {
        if (::fork() != 0)
            continue;
        bool ok = true;
        for (int i = 0; ok && i < kConcurrentWrites; ++i)
            ok = static_cast<bool>(write_installed_version(path_, w == 0 ? kNewStamp : kOldStamp));
        ::_exit(ok ? 0 : 1);
    }
    // Read while they write, until both have finished.
    for (int finished = 0; finished < 2;) {
        const std::string seen = read_file(path_);
        EXPECT_TRUE(seen == before || seen == after) << "a reader saw a mixed or partial file";
        int status = 0;
        for (; ::waitpid(-1, &status, WNOHANG) > 0; ++finished)
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
    }
    const std::string left = read_file(path_);
    EXPECT_TRUE(left == before || left == after);
    EXPECT_EQ(list_dir(dir_.path()), Names {"tsetting.ini"});
}

// What a write keeps besides the bytes; the inode where the file must keep its identity.
struct Metadata {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    ino_t inode;
    std::string acl;
    std::string user_attr;
    bool operator==(const Metadata &) const = default;
};
void PrintTo(const Metadata &m, std::ostream *out)
{
    *out << m.uid << ":" << m.gid << " " << std::oct << m.mode << std::dec << " inode " << m.inode << " acl "
         << m.acl.size() << " bytes, user attribute '" << m.user_attr << "'";
}

std::string xattr_of(const std::string &path, const char *name)
{
    std::array<char, 256> value {};
    const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
    return size < 0 ? "" : std::string(value.data(), static_cast<std::size_t>(size));
}

Metadata metadata_of(const std::string &path, bool with_inode)
{
    const struct stat st = stat_of(path);
    return {st.st_uid,
            st.st_gid,
            st.st_mode & 07777,
            with_inode ? st.st_ino : 0,
            xattr_of(path, kAclAttr),
            xattr_of(path, kUserAttr)};
}

// An access ACL (version 2; entries of tag, permissions, id) with user:daemon:rw-.
std::string acl_with_daemon_entry()
{
    std::string acl("\x02\0\0\0", 4);
    const auto entry = [&](std::uint32_t tag, std::uint32_t perm, std::uint32_t id) {
        for (const std::uint32_t v : {tag | (perm << 16), id}) {
            for (int shift = 0; shift < 32; shift += 8)
                acl += static_cast<char>((v >> shift) & 0xFF);
        }
    };
    entry(0x01, 6, ~0u);
    entry(0x02, 6, kDaemon);
    entry(0x04, 4, ~0u);
    entry(0x10, 6, ~0u);
    entry(0x20, 4, ~0u);
    return acl;
}

bool set_xattr(const std::string &path, const char *name, const std::string &value)
{
    return ::setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

enum class Shape { ModeAndOwner, HardLink, Acl, UserAttribute, OwnerRefused, AttributeRefused, RootOwnedGroupWritable };

// Sets the shape up; false when the file system can't hold it.
bool prepare(Shape shape, const std::string &path, const std::string &dir)
{
    const uid_t owner = ::geteuid() == 0 ? kNobody : ::geteuid();
    switch (shape) {
    case Shape::ModeAndOwner:
        return ::chmod(path.c_str(), 0640) == 0 && ::chown(path.c_str(), owner, owner) == 0;
    case Shape::HardLink:
        return ::link(path.c_str(), (dir + "/other-link.ini").c_str()) == 0;
    case Shape::Acl:
        return set_xattr(path, kAclAttr, acl_with_daemon_entry());
    case Shape::UserAttribute:
        return set_xattr(path, kUserAttr, "kept");
    case Shape::OwnerRefused:
        arm_fault(Call::Fchown, EPERM);
        return true;
    case Shape::AttributeRefused:
        arm_fault(Call::SetXattr, EPERM);
        return set_xattr(path, kUserAttr, "kept");
    case Shape::RootOwnedGroupWritable:
        return ::chown(path.c_str(), 0, kNobody) == 0 && ::chmod(path.c_str(), 0664) == 0
            && ::chmod(dir.c_str(), 0777) == 0;
    }
    return false;
}

struct MetadataCase {
    const char *name;
    Shape shape;
    bool in_place; // the file keeps its inode
};
void PrintTo(const MetadataCase &c, std::ostream *out) { *out << c.name; }

class KeepsMetadata : public ::testing::TestWithParam<MetadataCase>, protected InScratchDir { };

TEST_P(KeepsMetadata, OnlyTheValueChanges)
{
    const MetadataCase &c = GetParam();
    const bool root_only = c.shape == Shape::RootOwnedGroupWritable;
    if (root_only && ::geteuid() != 0)
        GTEST_SKIP() << "setting up a file another user owns needs root";
    write_file(path_, settings(kOldStamp));
    if (!prepare(c.shape, path_, dir_.path()))
        GTEST_SKIP() << "the file system of " << dir_.path() << " has no extended attributes";
    const Metadata before = metadata_of(path_, c.in_place);
    const auto write = [&] { return static_cast<bool>(write_installed_version(path_, kNewStamp)); };
    ASSERT_TRUE(root_only ? unprivileged(write) : write());
    EXPECT_EQ(read_file(path_), settings(kNewStamp));
    EXPECT_EQ(metadata_of(path_, c.in_place), before);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, KeepsMetadata,
    ::testing::Values(MetadataCase {"ModeAndOwner", Shape::ModeAndOwner, false},
                      MetadataCase {"HardLink", Shape::HardLink, true}, MetadataCase {"AclEntry", Shape::Acl, false},
                      MetadataCase {"UserAttribute", Shape::UserAttribute, false},
                      MetadataCase {"OwnerCantBeGiven", Shape::OwnerRefused, true},
                      MetadataCase {"AttributeCantBeGiven", Shape::AttributeRefused, true},
                      MetadataCase {"RootOwnedGroupWritable", Shape::RootOwnedGroupWritable, true}),
    [](const auto &row) { return std::string(row.param.name); });

long peak_resident_kib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    }
    return -1;
}

// 1 GiB holes before and after the version: a read scans the first in bounded memory, and
// writes, by a new file or in place, keep both.
TEST_F(SettingsFile, AHugeSparseFileIsReadInBoundedMemoryAndStaysSparse)
{
    const std::string middle = "\n[DB]\r\nVersion=1\r\n";
    const std::string end = "; end\r\n";
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::pwrite(fd, middle.data(), middle.size(), kHoleBytes), static_cast<ssize_t>(middle.size()));
    ASSERT_EQ(::pwrite(fd, end.data(), end.size(), 2 * kHoleBytes + static_cast<off_t>(middle.size())),
              static_cast<ssize_t>(end.size()));
    ::close(fd);
    const long peak = peak_resident_kib();
    EXPECT_EQ(read_installed_version(path_), "1");
    EXPECT_LT(peak_resident_kib() - peak, kMaxPeakGrowthKiB);

    for (const std::string stamp : {kNewStamp, "123456789"}) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(write_installed_version(path_, stamp));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        const struct stat st = stat_of(path_);
        std::printf("%s write: %lld ms, %lld bytes on disk\n", st.st_nlink > 1 ? "in-place" : "new-file",
                    static_cast<long long>(ms.count()), static_cast<long long>(st.st_blocks) * 512);
        EXPECT_EQ(st.st_size, 2 * kHoleBytes + static_cast<off_t>(middle.size() + stamp.size() - 1 + end.size()));
        EXPECT_LT(st.st_blocks * 512, kMaxSparseDiskBytes);
        std::string tail(end.size(), '\0');
        std::ifstream(path_).seekg(st.st_size - static_cast<off_t>(end.size())).read(tail.data(), tail.size());
        EXPECT_EQ(tail, end);
        ASSERT_TRUE(st.st_nlink > 1 || ::link(path_.c_str(), other_.c_str()) == 0);
    }
    EXPECT_EQ(read_installed_version(other_), "123456789");
}

} // namespace
} // namespace kestrival::version
