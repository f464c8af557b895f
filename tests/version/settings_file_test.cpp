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
Fault faults[static_cast<std::size_t>(Call::None)];

void arm_fault(Call call, int error, int skip = 0) { faults[static_cast<std::size_t>(call)] = {skip, error}; }

bool fails(Call call)
{
    Fault &f = faults[static_cast<std::size_t>(call)];
    return f.error != 0 && f.skip-- <= 0 && (errno = std::exchange(f.error, 0)) != 0;
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

class WriteTableOnDisk : public ::testing::TestWithParam<testing::Row>, protected InScratchDir { };

// Alone, and with a second link (edited in place); a new file under two umasks; a file whose
// value is already the stamp not even touched.
TEST_P(WriteTableOnDisk, WritesAsTheTableSays)
{
    const testing::Row &row = GetParam();
    for (const bool linked : {false, true}) {
        if (row.file)
            write_file(path_, *row.file);
        ASSERT_TRUE(!linked || !row.file || ::link(path_.c_str(), other_.c_str()) == 0);
        const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
        ASSERT_TRUE(!row.file || ::utimensat(AT_FDCWD, path_.c_str(), long_ago, 0) == 0);
        const mode_t previous = ::umask(linked ? 0 : 077);
        const WriteResult result = write_installed_version(path_, row.second);
        ::umask(previous);
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(read_file(path_), row.third);
        EXPECT_EQ(read_file(linked && row.file ? other_ : path_), row.third);
        EXPECT_EQ(stat_of(path_).st_mtim.tv_sec == 1000, row.file == row.third);
        EXPECT_TRUE(row.file || (stat_of(path_).st_mode & 07777) == (linked ? 0666 : 0600));
        ::unlink(path_.c_str());
        ::unlink(other_.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Tsv, WriteTableOnDisk,
                         ::testing::ValuesIn(testing::load_rows({"ini-cases/write.tsv", "ini-cases/write-own.tsv"})),
                         [](const auto &row) { return row.param.name; });

// A chain of links stays and its end is replaced; a dangling link's target is created.
TEST_F(SettingsFile, WritesAtTheEndOfTheLinks)
{
    write_file(dir_.file("real.ini"), settings(kOldStamp));
    testing::make_node(path_, "middle.ini", 0);
    testing::make_node(dir_.file("middle.ini"), dir_.file("real.ini").c_str(), 0);
    testing::make_node(dir_.file("elsewhere"), nullptr, S_IFDIR | 0755);
    testing::make_node(dir_.file("dangling.ini"), "elsewhere/new.ini", 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    ASSERT_TRUE(write_installed_version(dir_.file("dangling.ini"), kNewStamp));
    EXPECT_EQ(read_file(dir_.file("real.ini")), settings(kNewStamp));
    EXPECT_EQ(read_installed_version(dir_.file("elsewhere/new.ini")), kNewStamp);
    for (const char *link : {"tsetting.ini", "middle.ini", "dangling.ini"})
        EXPECT_TRUE(S_ISLNK(stat_of(dir_.file(link)).st_mode)) << link;
}

// What stands at the path (see make_node; a read finds nothing but in a regular file), the
// directory's bits, whether an unprivileged user
// writes, whether another writer holds the folder, and the failure expected.
struct RefusedCase {
    const char *name;
    const char *link_to;
    mode_t node;
    mode_t dir_mode;
    bool unprivileged;
    bool locked;
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
    ::alarm(60); // a read or write that hangs ends the test
    EXPECT_EQ(read_installed_version(path_), before.empty() ? "" : kOldStamp);
    const int other_writer = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(!c.locked || ::flock(other_writer, LOCK_EX) == 0);
    const auto refused = [&] {
        const WriteResult result = write_installed_version(path_, kNewStamp, kShortLockWait);
        std::fprintf(stderr, "%s: %s\n", c.name, result.error.c_str());
        return result.kind == c.kind && result.system_error == c.system_error;
    };
    EXPECT_TRUE(c.unprivileged ? unprivileged(refused) : refused());
    ::alarm(0);
    ::close(other_writer);
    EXPECT_EQ(list_dir(dir_.path()), names);
    EXPECT_EQ(content(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedPath,
    ::testing::Values(
        RefusedCase {"Directory", nullptr, S_IFDIR | 0755, 0755, false, false, WriteError::NotAFile, 0},
        RefusedCase {"Fifo", nullptr, S_IFIFO | 0666, 0755, false, false, WriteError::NotAFile, 0},
        RefusedCase {"LinkToDevice", "/dev/zero", 0, 0755, false, false, WriteError::NotAFile, 0},
        RefusedCase {"ReadOnlyFileEvenForRoot", nullptr, S_IFREG | 0444, 0755, false, false, WriteError::ReadOnly, 0},
        RefusedCase {"LinkLoop", "tsetting.ini", 0, 0755, false, false, WriteError::System, ELOOP},
        RefusedCase {"MissingDirectory", "gone/tsetting.ini", 0, 0755, false, false, WriteError::System, ENOENT},
        RefusedCase {"FolderLockedTooLong", nullptr, S_IFREG | 0666, 0755, false, true, WriteError::Busy, 0},
        RefusedCase {"UnwritableDirectory", nullptr, S_IFREG | 0666, 0555, true, false, WriteError::System, EACCES},
        // Writable by its group only, and the writer isn't in it.
        RefusedCase {"UnwritableFile", nullptr, S_IFREG | 0464, 0777, true, false, WriteError::System, EACCES}),
    [](const auto &row) { return std::string(row.param.name); });

struct FaultCase {
    const char *name;
    Call call;
    int error;
    int skip;
    int reported; // the errno the write reports; 0: written
    bool linked; // a second link: the file is edited in place
};
void PrintTo(const FaultCase &c, std::ostream *out) { *out << c.name; }

class WriteFault : public ::testing::TestWithParam<FaultCase>, protected InScratchDir { };

// Also for a new file: then none is left.
TEST_P(WriteFault, LeavesTheOldFileByteIdenticalAndNoTemporaryFile)
{
    const FaultCase &fault = GetParam();
    for (const bool exists : {true, false}) {
        if (!exists && (fault.linked || fault.skip != 0))
            return;
        const std::string before = exists ? settings(kOldStamp, kPaddingBytes) : "<missing>";
        if (exists)
            write_file(path_, before);
        ASSERT_TRUE(!fault.linked || ::link(path_.c_str(), other_.c_str()) == 0);
        const Names names = list_dir(dir_.path());
        arm_fault(fault.call, fault.error, fault.skip);
        const WriteResult result = write_installed_version(path_, kNewStamp);
        EXPECT_EQ(std::pair(result.kind, result.system_error),
                  std::pair(fault.reported ? WriteError::System : WriteError::None, fault.reported))
            << result.error;
        EXPECT_EQ(read_file(path_), fault.reported ? before : settings(kNewStamp, kPaddingBytes));
        EXPECT_EQ(list_dir(dir_.path()), names);
        ::unlink(path_.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WriteFault,
    ::testing::Values(FaultCase {"DiskFullAtCreate", Call::Create, ENOSPC, 0, ENOSPC, false},
                      FaultCase {"ReadOnlyFileSystem", Call::Create, EROFS, 0, EROFS, false},
                      FaultCase {"DiskFullAtFirstWrite", Call::Write, ENOSPC, 0, ENOSPC, false},
                      FaultCase {"IoErrorMidCopy", Call::Write, EIO, 3, EIO, false},
                      FaultCase {"DiskFullAtFlush", Call::Fsync, ENOSPC, 0, ENOSPC, false},
                      FaultCase {"IoErrorAtRename", Call::Rename, EIO, 0, EIO, false},
                      FaultCase {"PermissionsCantBeSet", Call::Fchmod, EPERM, 0, EPERM, false},
                      FaultCase {"InPlaceDiskFull", Call::Write, ENOSPC, 0, ENOSPC, true},
                      // The new file is complete and in place by then; only its survival of a power cut is less sure.
                      FaultCase {"DirectoryFlushAfterTheRename", Call::Fsync, EIO, 1, 0, false}),
    [](const auto &row) { return std::string(row.param.name); });

// Also removes a temporary file a writer killed earlier left, and only that.
TEST_F(SettingsFile, AKilledWriterLeavesTheOldOrTheNewFileAndNoTemporaryFileOnceWrittenAgain)
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
        EXPECT_TRUE(left == before || left == settings(kNewStamp)) << "round " << round << ": a mixed or partial file";
        EXPECT_LE(list_dir(dir_.path()).size(), 4u) << "more than one temporary file";
        ASSERT_TRUE(write_installed_version(path_, kOldStamp));
        EXPECT_EQ(list_dir(dir_.path()), (Names {".tsetting.ini.kestrival-long", "tsetting.ini"}));
        ASSERT_EQ(read_file(path_), before);
    }
}

TEST_F(SettingsFile, TwoProcessesWritingAtOnceNeverMixTheFile)
{
    write_file(path_, settings(kOldStamp));
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
        EXPECT_TRUE(seen == settings(kOldStamp) || seen == settings(kNewStamp)) << "a reader saw a mixed file";
        int status = 0;
        for (; ::waitpid(-1, &status, WNOHANG) > 0; ++finished)
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
    }
    EXPECT_EQ(list_dir(dir_.path()), Names {"tsetting.ini"});
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

// The file's set-up: its bits, a second link, an extended attribute; a fault armed for the
// write; whether the write must edit in place; whether root makes the file and nobody writes.
struct MetadataCase {
    const char *name;
    mode_t mode;
    bool linked;
    const char *attr; // an ACL with an entry for daemon, or "kept"
    Call fault;
    bool in_place;
    bool root_owned;
};
void PrintTo(const MetadataCase &c, std::ostream *out) { *out << c.name; }

class KeepsMetadata : public ::testing::TestWithParam<MetadataCase>, protected InScratchDir { };

TEST_P(KeepsMetadata, OnlyTheValueChanges)
{
    const MetadataCase &c = GetParam();
    if (c.root_owned && ::geteuid() != 0)
        GTEST_SKIP() << "setting up a file another user owns needs root";
    write_file(path_, settings(kOldStamp));
    ASSERT_EQ(::chmod(path_.c_str(), c.mode), 0);
    // As root, a file of another owner and group: we can give them back.
    ASSERT_TRUE(::geteuid() != 0 || ::chown(path_.c_str(), c.root_owned ? 0 : kNobody, kNobody) == 0);
    ASSERT_TRUE(!c.root_owned || ::chmod(dir_.path().c_str(), 0777) == 0);
    ASSERT_TRUE(!c.linked || ::link(path_.c_str(), other_.c_str()) == 0);
    const std::string value = c.attr == kAclAttr ? kAclWithDaemonEntry : "kept";
    if (c.attr && ::setxattr(path_.c_str(), c.attr, value.data(), value.size(), 0) != 0)
        GTEST_SKIP() << "the file system of " << dir_.path() << " has no " << c.attr;
    if (c.fault != Call::None)
        arm_fault(c.fault, EPERM);
    const auto before = metadata_of(path_, c.in_place);
    const auto write = [&] { return static_cast<bool>(write_installed_version(path_, kNewStamp)); };
    ASSERT_TRUE(c.root_owned ? unprivileged(write) : write());
    EXPECT_EQ(read_file(path_), settings(kNewStamp));
    EXPECT_EQ(metadata_of(path_, c.in_place), before);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, KeepsMetadata,
    ::testing::Values(MetadataCase {"Mode", 0640, false, nullptr, Call::None, false, false},
                      MetadataCase {"HardLink", 0644, true, nullptr, Call::None, true, false},
                      MetadataCase {"AclEntry", 0664, false, kAclAttr, Call::None, false, false},
                      MetadataCase {"UserAttribute", 0644, false, kUserAttr, Call::None, false, false},
                      MetadataCase {"OwnerCantBeGiven", 0644, false, nullptr, Call::Fchown, true, false},
                      MetadataCase {"AttributeCantBeGiven", 0644, false, kUserAttr, Call::SetXattr, true, false},
                      MetadataCase {"RootOwnedGroupWritable", 0664, false, nullptr, Call::None, true, true}),
    [](const auto &row) { return std::string(row.param.name); });

long peak_resident_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmHWM:")) { }
    return line.empty() ? -1 : std::stol(line.substr(6));
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
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(write_installed_version(path_, stamp));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        const struct stat st = stat_of(path_);
        std::printf("%s write: %lld ms, %lld bytes on disk\n", st.st_nlink > 1 ? "in-place" : "new-file",
                    static_cast<long long>(ms.count()), static_cast<long long>(st.st_blocks) * 512);
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
