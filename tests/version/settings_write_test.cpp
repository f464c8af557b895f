#include "version/settings_file.h"

#include "fault_injection.h"
#include "ini_cases.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

using testing::Call;
using testing::list_dir;
using testing::read_file;
using testing::write_file;
using Names = std::vector<std::string>;

constexpr const char *kOldStamp = "20240101";
constexpr const char *kNewStamp = "20250615";
const std::string kBefore = "; installation\r\n[Other]\r\nVersion=keep\r\n[DB]\r\nVersion=20240101\r\nPath=C:\\x\r\n";
const std::string kAfter = "; installation\r\n[Other]\r\nVersion=keep\r\n[DB]\r\nVersion=20250615\r\nPath=C:\\x\r\n";

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

std::string with_padding(const std::string &content, std::size_t bytes = kPaddingBytes)
{
    return "; " + std::string(bytes, 'a') + "\r\n" + content + "; " + std::string(bytes, 'b') + "\r\n";
}

struct stat lstat_of(const std::string &path)
{
    struct stat st { };
    ::lstat(path.c_str(), &st);
    return st;
}

// A scratch directory and the settings path in it; no fault outlives a test.
class InScratchDir {
protected:
    ~InScratchDir() { testing::disarm_faults(); }
    testing::ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
};

class SettingsWrite : public ::testing::Test, protected InScratchDir { };

TEST_F(SettingsWrite, ReplacesTheValueAndKeepsEveryOtherByte)
{
    write_file(path_, with_padding(kBefore));
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_file(path_), with_padding(kAfter));
    EXPECT_EQ(list_dir(dir_.path()), Names {"tsetting.ini"});
}

// Appending a section, inserting a key, a UTF-16 file and one without a final line end.
TEST_F(SettingsWrite, GivesTheStampAndKeepsTheRestWhateverTheShape)
{
    const std::pair<std::string, std::string> shapes[] = {
        {"[Other]\r\nA=1\r\n", "[Other]\r\nA=1\r\n"},
        {"[DB]\nPath=x\n", "Path=x\n"},
        {testing::utf16(u"[DB]\r\nVersion=1\r\nB=2\r\n", false), testing::utf16(u"B=2\r\n", false, false)},
        {"[X]\nB=2\n[DB]\nVersion=1", "[X]\nB=2\n"},
    };
    for (const auto &[content, kept] : shapes) {
        write_file(path_, content);
        const WriteResult result = write_installed_version(path_, kNewStamp);
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(read_installed_version(path_), kNewStamp);
        EXPECT_NE(read_file(path_).find(kept), std::string::npos) << content;
    }
}

TEST_F(SettingsWrite, WritesNothingWhenTheValueIsAlreadyTheStamp)
{
    write_file(path_, kAfter);
    const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), long_ago, 0), 0);
    const ino_t inode = lstat_of(path_).st_ino;
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(lstat_of(path_).st_ino, inode);
    EXPECT_EQ(lstat_of(path_).st_mtim.tv_sec, 1000);
}

TEST_F(SettingsWrite, KeepsPermissionBitsOwnerAndGroup)
{
    write_file(path_, kBefore);
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_EQ(::chown(path_.c_str(), kNobody, kNobody), 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(lstat_of(path_).st_mode & 07777, 0640u);
    EXPECT_EQ(lstat_of(path_).st_uid, kNobody);
    EXPECT_EQ(lstat_of(path_).st_gid, kNobody);
}

TEST_F(SettingsWrite, CreatesAMissingFileWithTheUsualModeLessTheUmask)
{
    for (const mode_t mask : {mode_t {0}, mode_t {077}}) {
        ::unlink(path_.c_str());
        const mode_t previous = ::umask(mask);
        const WriteResult result = write_installed_version(path_, kNewStamp);
        ::umask(previous);
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(read_file(path_), "[DB]\r\nVersion=20250615\r\n");
        EXPECT_EQ(lstat_of(path_).st_mode & 07777, 0666 & ~mask);
    }
}

TEST_F(SettingsWrite, ASymbolicLinkStaysALinkAndItsTargetIsReplaced)
{
    write_file(dir_.file("real.ini"), kBefore);
    ASSERT_EQ(::symlink("middle.ini", path_.c_str()), 0);
    ASSERT_EQ(::symlink(dir_.file("real.ini").c_str(), dir_.file("middle.ini").c_str()), 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_TRUE(S_ISLNK(lstat_of(path_).st_mode));
    EXPECT_TRUE(S_ISLNK(lstat_of(dir_.file("middle.ini")).st_mode));
    EXPECT_EQ(read_file(dir_.file("real.ini")), kAfter);
}

TEST_F(SettingsWrite, ADanglingLinkGetsItsTargetCreated)
{
    ASSERT_EQ(::mkdir(dir_.file("elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("elsewhere/real.ini", path_.c_str()), 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_installed_version(dir_.file("elsewhere/real.ini")), kNewStamp);
    EXPECT_TRUE(S_ISLNK(lstat_of(path_).st_mode));
}

// Runs `body` in a child process as the unprivileged user nobody; whether it gave true.
bool as_nobody(const std::function<bool()> &body)
{
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

// Paths the write must refuse without touching anything: what is at the path (a link to
// `link_to`, else a node of type and bits `node`), the directory's bits, and who writes.
struct RefusedCase {
    const char *name;
    const char *link_to;
    mode_t node;
    mode_t dir_mode;
    bool by_nobody;
    const char *reason;
};

class RefusedPath : public ::testing::TestWithParam<RefusedCase>, protected InScratchDir { };

TEST_P(RefusedPath, FailsWithAReasonAndTouchesNothing)
{
    const RefusedCase &c = GetParam();
    if (c.link_to != nullptr)
        ASSERT_EQ(::symlink(c.link_to, path_.c_str()), 0);
    else if (S_ISDIR(c.node))
        ASSERT_EQ(::mkdir(path_.c_str(), c.node & 07777), 0);
    else if (S_ISFIFO(c.node))
        ASSERT_EQ(::mkfifo(path_.c_str(), c.node & 07777), 0);
    else
        write_file(path_, kBefore);
    ASSERT_EQ(::chmod(dir_.path().c_str(), c.dir_mode), 0);
    ASSERT_TRUE(c.link_to != nullptr || ::chmod(path_.c_str(), c.node & 07777) == 0);
    // Reading a FIFO would block; only a regular file's bytes are compared.
    const auto content = [&] { return S_ISREG(lstat_of(path_).st_mode) ? read_file(path_) : ""; };
    const Names names = list_dir(dir_.path());
    const std::string before = content();
    const auto refused = [&] {
        const WriteResult result = write_installed_version(path_, kNewStamp);
        return !result && result.error.find(c.reason) != std::string::npos;
    };
    EXPECT_TRUE(c.by_nobody ? as_nobody(refused) : refused()) << c.reason;
    EXPECT_EQ(list_dir(dir_.path()), names);
    EXPECT_EQ(content(), before);
}

constexpr const char *kNotRegular = "is not a regular file";

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedPath,
    ::testing::Values(RefusedCase {"Directory", nullptr, S_IFDIR | 0755, 0755, false, kNotRegular},
                      RefusedCase {"Fifo", nullptr, S_IFIFO | 0666, 0755, false, kNotRegular},
                      RefusedCase {"LinkToDevice", "/dev/null", 0, 0755, false, "\"/dev/null\" is not a regular file"},
                      RefusedCase {"ReadOnlyFile", nullptr, S_IFREG | 0444, 0755, false, "is read-only"},
                      RefusedCase {"LinkLoop", "tsetting.ini", 0, 0755, false, "Too many levels of symbolic links"},
                      RefusedCase {"MissingDirectory", "gone/tsetting.ini", 0, 0755, false,
                                   "No such file or directory"},
                      RefusedCase {"UnwritableDirectory", nullptr, S_IFREG | 0666, 0755, true, "Permission denied"},
                      RefusedCase {"UnwritableFile", nullptr, S_IFREG | 0644, 0777, true, "Permission denied"}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(SettingsWrite, GivesUpWhenAnotherWriterHoldsTheDirectoryTooLong)
{
    write_file(path_, kBefore);
    const int other_writer = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(other_writer, LOCK_EX), 0);
    const WriteResult result = write_installed_version(path_, kNewStamp, kShortLockWait);
    ::close(other_writer);
    EXPECT_FALSE(result);
    EXPECT_NE(result.error.find("Another program is writing"), std::string::npos) << result.error;
    EXPECT_EQ(read_file(path_), kBefore);
}

// Where the file system offers unnamed temporary files, and where it doesn't.
enum class TempKind { Unnamed, Named };

void use_temp_kind(TempKind kind)
{
    if (kind == TempKind::Named)
        testing::arm_fault(Call::OpenUnnamed, EOPNOTSUPP, 0, -1);
}

struct FaultCase {
    const char *name;
    TempKind kind;
    Call call;
    int error;
    int skip;
    const char *reason;
    bool also_new; // the same fault when there was no file leaves none
};

class WriteFault : public ::testing::TestWithParam<FaultCase>, protected InScratchDir { };

TEST_P(WriteFault, LeavesTheOldFileByteIdenticalAndNoTemporaryFile)
{
    const FaultCase &fault = GetParam();
    const std::string before = with_padding(kBefore);
    write_file(path_, before);
    use_temp_kind(fault.kind);
    testing::arm_fault(fault.call, fault.error, fault.skip);
    const WriteResult result = write_installed_version(path_, kNewStamp);
    EXPECT_FALSE(result);
    EXPECT_NE(result.error.find(fault.reason), std::string::npos) << result.error;
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(list_dir(dir_.path()), Names {"tsetting.ini"});
    if (!fault.also_new)
        return;
    ASSERT_EQ(::unlink(path_.c_str()), 0);
    testing::arm_fault(fault.call, fault.error);
    EXPECT_FALSE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(list_dir(dir_.path()), Names {});
}

constexpr auto U = TempKind::Unnamed;
constexpr auto N = TempKind::Named;
constexpr const char *kNoSpace = "No space left on device";
constexpr const char *kIo = "Input/output error";

const FaultCase kFaults[] = {
    {"Unnamed_DiskFullAtCreate", U, Call::OpenUnnamed, ENOSPC, 0, kNoSpace, true},
    {"Unnamed_DiskFullAtFirstWrite", U, Call::Write, ENOSPC, 0, kNoSpace, true},
    {"Unnamed_IoErrorMidCopy", U, Call::Write, EIO, 3, kIo, false},
    {"Unnamed_DiskFullAtFlush", U, Call::Fsync, ENOSPC, 0, kNoSpace, false},
    {"Unnamed_IoErrorAtFlush", U, Call::Fsync, EIO, 0, kIo, true},
    {"Unnamed_DiskFullAtLink", U, Call::Link, ENOSPC, 0, kNoSpace, true},
    {"Unnamed_IoErrorAtRename", U, Call::Rename, EIO, 0, kIo, false},
    {"Unnamed_PermissionsCantBeSet", U, Call::Fchmod, EPERM, 0, "Operation not permitted", false},
    {"Named_DiskFullAtCreate", N, Call::CreateNamed, ENOSPC, 0, kNoSpace, true},
    {"Named_ReadOnlyFileSystemAtCreate", N, Call::CreateNamed, EROFS, 0, "Read-only file system", false},
    {"Named_DiskFullAtFirstWrite", N, Call::Write, ENOSPC, 0, kNoSpace, true},
    {"Named_IoErrorMidCopy", N, Call::Write, EIO, 3, kIo, false},
    {"Named_DiskFullAtFlush", N, Call::Fsync, ENOSPC, 0, kNoSpace, false},
    {"Named_IoErrorAtFlush", N, Call::Fsync, EIO, 0, kIo, true},
    {"Named_IoErrorAtRename", N, Call::Rename, EIO, 0, kIo, true},
};

INSTANTIATE_TEST_SUITE_P(Steps, WriteFault, ::testing::ValuesIn(kFaults),
                         [](const auto &row) { return std::string(row.param.name); });

TEST_F(SettingsWrite, SucceedsWhenOnlyTheDirectoryFlushFailsAfterTheRename)
{
    write_file(path_, kBefore);
    testing::arm_fault(Call::Fsync, EIO, 1);
    EXPECT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_file(path_), kAfter);
    EXPECT_EQ(list_dir(dir_.path()), Names {"tsetting.ini"});
}

TEST_F(SettingsWrite, RemovesATemporaryFileAKilledWriterLeft)
{
    write_file(path_, kBefore);
    write_file(dir_.file(".tsetting.ini.kestrival-Ab12Cd"), "half");
    write_file(dir_.file(".tsetting.ini.kestrival-long-name"), "not ours");
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(list_dir(dir_.path()), (Names {".tsetting.ini.kestrival-long-name", "tsetting.ini"}));
}

class KilledWriter : public ::testing::TestWithParam<TempKind>, protected InScratchDir { };

TEST_P(KilledWriter, LeavesTheOldOrTheNewFileAndNoTemporaryFileOnceWrittenAgain)
{
    use_temp_kind(GetParam());
    const std::string before = with_padding(kBefore, kSmallPaddingBytes);
    const std::string after = with_padding(kAfter, kSmallPaddingBytes);
    write_file(path_, before);
    std::mt19937 random(std::random_device {}());
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
        // Killed between naming its file and renaming it, a writer can leave that one file.
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

INSTANTIATE_TEST_SUITE_P(Temps, KilledWriter, ::testing::Values(TempKind::Unnamed, TempKind::Named),
                         [](const auto &row) { return row.param == U ? "UnnamedTemp" : "NamedTemp"; });

TEST_F(SettingsWrite, TwoProcessesWritingAtOnceNeverMixTheFile)
{
    const std::string before = with_padding(kBefore, kSmallPaddingBytes);
    const std::string after = with_padding(kAfter, kSmallPaddingBytes);
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

} // namespace
} // namespace kestrival::version
