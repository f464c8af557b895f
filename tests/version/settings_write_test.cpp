#include "version/settings_file.h"

#include "fault_injection.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kestrival::version {
namespace {

using testing::Call;
using testing::ScratchDir;
using testing::list_dir;
using testing::read_file;
using testing::write_file;

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

std::string padding(char fill, std::size_t bytes)
{
    std::string lines;
    while (lines.size() < bytes)
        lines += "; " + std::string(77, fill) + "\r\n";
    return lines;
}

std::string with_padding(const std::string &content, std::size_t bytes = kPaddingBytes)
{
    return padding('a', bytes) + content + padding('b', bytes);
}

class SettingsWrite : public ::testing::Test {
protected:
    void TearDown() override { testing::disarm_faults(); }

    ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
};

TEST_F(SettingsWrite, ReplacesTheValueAndKeepsEveryOtherByte)
{
    write_file(path_, with_padding(kBefore));
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_file(path_), with_padding(kAfter));
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
}

TEST_F(SettingsWrite, CreatesAMissingFileWithSectionAndKey)
{
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_file(path_), "[DB]\r\nVersion=20250615\r\n");
    EXPECT_EQ(read_installed_version(path_), kNewStamp);
}

// Existing files of every shape read back the stamp after the write and keep their other lines.
struct ShapeCase {
    const char *name;
    std::string content;
    std::string kept;
};

class WriteThenRead : public ::testing::TestWithParam<ShapeCase> {
protected:
    ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
};

TEST_P(WriteThenRead, GivesTheStampAndKeepsTheRest)
{
    write_file(path_, GetParam().content);
    const WriteResult result = write_installed_version(path_, kNewStamp);
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(read_installed_version(path_), kNewStamp);
    EXPECT_NE(read_file(path_).find(GetParam().kept), std::string::npos);
}

std::string utf16le(std::string_view ascii)
{
    std::string bytes = "\xFF\xFE";
    for (const char c : ascii)
        bytes += std::string {c, '\0'};
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WriteThenRead,
    ::testing::Values(ShapeCase {"NoDbSection", "[Other]\r\nA=1\r\n", "[Other]\r\nA=1\r\n"},
                      ShapeCase {"NoVersionKey", "[DB]\nPath=x\n", "Path=x\n"},
                      ShapeCase {"FreeTextValue", "[DB]\nVersion=not a date\nB=2\n", "B=2\n"},
                      ShapeCase {"NamesInOtherCase", "[db]\r\nversion=1\r\nB=2\r\n", "B=2\r\n"},
                      ShapeCase {"Utf8Mark", "\xEF\xBB\xBF[DB]\r\nVersion=1\r\n", "\xEF\xBB\xBF[DB]\r\n"},
                      ShapeCase {"Utf16", utf16le("[DB]\r\nVersion=1\r\nB=2\r\n"), utf16le("B=2\r\n").substr(2)},
                      ShapeCase {"NoFinalLineEnd", "[X]\nB=2\n[DB]\nVersion=1", "[X]\nB=2\n"}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(SettingsWrite, WritesNothingWhenTheValueIsAlreadyTheStamp)
{
    write_file(path_, kAfter);
    const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), long_ago, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);

    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    struct stat after {};
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000);
}

TEST_F(SettingsWrite, KeepsPermissionBitsOwnerAndGroup)
{
    write_file(path_, kBefore);
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
}

TEST_F(SettingsWrite, GivesANewFileTheUsualModeLessTheUmask)
{
    for (const mode_t mask : {mode_t {022}, mode_t {077}}) {
        ::unlink(path_.c_str());
        const mode_t previous = ::umask(mask);
        const WriteResult result = write_installed_version(path_, kNewStamp);
        ::umask(previous);
        ASSERT_TRUE(result) << result.error;
        struct stat st {};
        ASSERT_EQ(::stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    }
}

TEST_F(SettingsWrite, ASymbolicLinkStaysALinkAndItsTargetIsReplaced)
{
    const std::string real = dir_.file("real.ini");
    write_file(real, kBefore);
    ASSERT_EQ(::symlink("middle.ini", path_.c_str()), 0);
    ASSERT_EQ(::symlink(real.c_str(), dir_.file("middle.ini").c_str()), 0);

    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    struct stat st {};
    ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::lstat(dir_.file("middle.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real), kAfter);
}

TEST_F(SettingsWrite, ADanglingLinkGetsItsTargetCreated)
{
    ASSERT_EQ(::mkdir(dir_.file("elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("elsewhere/real.ini", path_.c_str()), 0);
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_installed_version(dir_.file("elsewhere/real.ini")), kNewStamp);
    struct stat st {};
    ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// Paths the write must refuse without touching anything.
struct RefusedCase {
    const char *name;
    std::function<void(const std::string &dir)> prepare;
    const char *reason;
};

// Reading a FIFO would block; only a regular file's bytes are compared.
std::string regular_file_content(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? read_file(path) : std::string();
}

class RefusedPath : public ::testing::TestWithParam<RefusedCase> {
protected:
    ScratchDir dir_;
};

TEST_P(RefusedPath, FailsWithAReasonAndTouchesNothing)
{
    GetParam().prepare(dir_.path());
    const std::string path = dir_.file("tsetting.ini");
    const auto names = list_dir(dir_.path());
    const std::string content = regular_file_content(path);
    const WriteResult result = write_installed_version(path, kNewStamp);
    EXPECT_FALSE(result);
    EXPECT_NE(result.error.find(GetParam().reason), std::string::npos) << result.error;
    EXPECT_EQ(list_dir(dir_.path()), names);
    EXPECT_EQ(regular_file_content(path), content);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedPath,
    ::testing::Values(
        RefusedCase {"Directory", [](const std::string &dir) { ::mkdir((dir + "/tsetting.ini").c_str(), 0755); },
                     "is not a regular file"},
        RefusedCase {"Fifo", [](const std::string &dir) { ::mkfifo((dir + "/tsetting.ini").c_str(), 0666); },
                     "is not a regular file"},
        RefusedCase {"LinkToDevice", [](const std::string &dir) { ::symlink("/dev/null", (dir + "/tsetting.ini").c_str()); },
                     "\"/dev/null\" is not a regular file"},
        RefusedCase {"ReadOnlyFile",
                     [](const std::string &dir) {
                         write_file(dir + "/tsetting.ini", kBefore);
                         ::chmod((dir + "/tsetting.ini").c_str(), 0444);
                     },
                     "is read-only"},
        RefusedCase {"LinkLoop",
                     [](const std::string &dir) {
                         ::symlink("other.ini", (dir + "/tsetting.ini").c_str());
                         ::symlink("tsetting.ini", (dir + "/other.ini").c_str());
                     },
                     "Too many levels of symbolic links"},
        RefusedCase {"MissingDirectory",
                     [](const std::string &dir) { ::symlink("gone/tsetting.ini", (dir + "/tsetting.ini").c_str()); },
                     "No such file or directory"}),
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

// Runs `body` in a child process as the unprivileged user nobody; gives its exit status.
int run_as_nobody(const std::function<int()> &body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0
            || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SettingsWrite, FailsInAnUnwritableDirectoryAndKeepsTheFile)
{
    write_file(path_, kBefore);
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    const int status = run_as_nobody([&] {
        const WriteResult result = write_installed_version(path_, kNewStamp);
        return !result && result.error.find("Permission denied") != std::string::npos ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path_), kBefore);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
}

TEST_F(SettingsWrite, LeavesAFileTheUserMayNotWriteInAWritableDirectory)
{
    write_file(path_, kBefore);
    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
    const int status = run_as_nobody([&] {
        const WriteResult result = write_installed_version(path_, kNewStamp);
        return !result && result.error.find("Permission denied") != std::string::npos ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path_), kBefore);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
}

// Where the file system offers unnamed temporary files, and where it doesn't.
enum class TempKind { Unnamed, Named };

std::string temp_kind_name(TempKind kind) { return kind == TempKind::Unnamed ? "UnnamedTemp" : "NamedTemp"; }

void use_temp_kind(TempKind kind)
{
    if (kind == TempKind::Named)
        testing::arm_fault(Call::OpenUnnamed, EOPNOTSUPP, 0, -1);
}

struct FaultCase {
    const char *name;
    Call call;
    int error;
    int skip;
    const char *reason;
};

class WriteFault : public ::testing::TestWithParam<std::tuple<TempKind, FaultCase>> {
protected:
    void TearDown() override { testing::disarm_faults(); }

    ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
};

TEST_P(WriteFault, LeavesTheOldFileByteIdenticalAndNoTemporaryFile)
{
    const auto &[kind, fault] = GetParam();
    const std::string before = with_padding(kBefore);
    write_file(path_, before);
    use_temp_kind(kind);
    testing::arm_fault(fault.call, fault.error, fault.skip);

    const WriteResult result = write_installed_version(path_, kNewStamp);
    EXPECT_FALSE(result);
    EXPECT_NE(result.error.find(fault.reason), std::string::npos) << result.error;
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
}

const FaultCase kCommonFaults[] = {
    {"DiskFullAtFirstWrite", Call::Write, ENOSPC, 0, "No space left on device"},
    {"IoErrorMidCopy", Call::Write, EIO, 3, "Input/output error"},
    {"DiskFullAtFlush", Call::Fsync, ENOSPC, 0, "No space left on device"},
    {"IoErrorAtFlush", Call::Fsync, EIO, 0, "Input/output error"},
    {"IoErrorAtRename", Call::Rename, EIO, 0, "Input/output error"},
};

void PrintTo(const FaultCase &fault, std::ostream *out) { *out << fault.name; }
void PrintTo(TempKind kind, std::ostream *out) { *out << temp_kind_name(kind); }
std::string fault_case_name(const ::testing::TestParamInfo<std::tuple<TempKind, FaultCase>> &row)
{
    return temp_kind_name(std::get<0>(row.param)) + "_" + std::get<1>(row.param).name;
}

INSTANTIATE_TEST_SUITE_P(Steps, WriteFault,
                         ::testing::Combine(::testing::Values(TempKind::Unnamed, TempKind::Named),
                                            ::testing::ValuesIn(kCommonFaults)),
                         fault_case_name);

INSTANTIATE_TEST_SUITE_P(
    UnnamedSteps, WriteFault,
    ::testing::Combine(::testing::Values(TempKind::Unnamed),
                       ::testing::Values(FaultCase {"DiskFullAtCreate", Call::OpenUnnamed, ENOSPC, 0, "No space left on device"},
                                         FaultCase {"DiskFullAtLink", Call::Link, ENOSPC, 0, "No space left on device"})),
    fault_case_name);

INSTANTIATE_TEST_SUITE_P(
    NamedSteps, WriteFault,
    ::testing::Combine(::testing::Values(TempKind::Named),
                       ::testing::Values(FaultCase {"DiskFullAtCreate", Call::CreateNamed, ENOSPC, 0, "No space left on device"},
                                         FaultCase {"ReadOnlyFileSystemAtCreate", Call::CreateNamed, EROFS, 0, "Read-only file system"})),
    fault_case_name);

// A fault while creating a file that didn't exist leaves no file at all.
struct NewFileFault {
    const char *name;
    TempKind kind;
    Call call;
    int error;
};

void PrintTo(const NewFileFault &fault, std::ostream *out) { *out << fault.name; }

class NewFileWriteFault : public ::testing::TestWithParam<NewFileFault> {
protected:
    void TearDown() override { testing::disarm_faults(); }

    ScratchDir dir_;
};

TEST_P(NewFileWriteFault, LeavesNoFileWhereThereWasNone)
{
    use_temp_kind(GetParam().kind);
    testing::arm_fault(GetParam().call, GetParam().error);
    EXPECT_FALSE(write_installed_version(dir_.file("tsetting.ini"), kNewStamp));
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {});
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NewFileWriteFault,
    ::testing::Values(NewFileFault {"UnnamedDiskFullAtCreate", TempKind::Unnamed, Call::OpenUnnamed, ENOSPC},
                      NewFileFault {"UnnamedDiskFullAtWrite", TempKind::Unnamed, Call::Write, ENOSPC},
                      NewFileFault {"UnnamedIoErrorAtFlush", TempKind::Unnamed, Call::Fsync, EIO},
                      NewFileFault {"UnnamedDiskFullAtLink", TempKind::Unnamed, Call::Link, ENOSPC},
                      NewFileFault {"NamedDiskFullAtCreate", TempKind::Named, Call::CreateNamed, ENOSPC},
                      NewFileFault {"NamedDiskFullAtWrite", TempKind::Named, Call::Write, ENOSPC},
                      NewFileFault {"NamedIoErrorAtFlush", TempKind::Named, Call::Fsync, EIO},
                      NewFileFault {"NamedIoErrorAtRename", TempKind::Named, Call::Rename, EIO}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(SettingsWrite, FailsWhenThePermissionsCantBeSetAndKeepsTheFile)
{
    write_file(path_, kBefore);
    testing::arm_fault(Call::Fchmod, EPERM);
    const WriteResult result = write_installed_version(path_, kNewStamp);
    EXPECT_FALSE(result);
    EXPECT_NE(result.error.find("Operation not permitted"), std::string::npos) << result.error;
    EXPECT_EQ(read_file(path_), kBefore);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
}

TEST_F(SettingsWrite, SucceedsWhenOnlyTheDirectoryFlushFailsAfterTheRename)
{
    write_file(path_, kBefore);
    testing::arm_fault(Call::Fsync, EIO, 1);
    EXPECT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(read_file(path_), kAfter);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
}

TEST_F(SettingsWrite, RemovesATemporaryFileAKilledWriterLeft)
{
    write_file(path_, kBefore);
    write_file(dir_.file(".tsetting.ini.kestrival-Ab12Cd"), "half");
    write_file(dir_.file(".tsetting.ini.kestrival-long-name"), "not ours");
    ASSERT_TRUE(write_installed_version(path_, kNewStamp));
    EXPECT_EQ(list_dir(dir_.path()),
              (std::vector<std::string> {".tsetting.ini.kestrival-long-name", "tsetting.ini"}));
}

// A child that writes the two stamps in turn and reports each finished write on `progress`.
pid_t start_alternating_writer(const std::string &path, int progress)
{
    const pid_t child = ::fork();
    if (child == 0) {
        for (int i = 0; i < kWritesPerRound; ++i) {
            if (!write_installed_version(path, i % 2 == 0 ? kNewStamp : kOldStamp))
                ::_exit(1);
            const char done = '.';
            if (::write(progress, &done, 1) != 1)
                ::_exit(1);
        }
        ::_exit(0);
    }
    return child;
}

class KilledWriter : public ::testing::TestWithParam<TempKind> {
protected:
    void TearDown() override { testing::disarm_faults(); }

    ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
};

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
        const pid_t writer = start_alternating_writer(path_, progress[1]);
        ::close(progress[1]);
        const int writes_to_wait_for = std::uniform_int_distribution<int>(0, kMaxWritesBeforeKill)(random);
        char done;
        for (int i = 0; i < writes_to_wait_for && ::read(progress[0], &done, 1) == 1; ++i) {
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, kMaxKillDelayMicroseconds)(random));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        ::close(progress[0]);

        const std::string left = read_file(path_);
        EXPECT_TRUE(left == before || left == after) << "round " << round << ": a mixed or partial file";
        // Killed between naming its file and renaming it, a writer can leave that one file.
        auto names = list_dir(dir_.path());
        std::erase(names, "tsetting.ini");
        EXPECT_LE(names.size(), 1u);
        for (const auto &name : names)
            EXPECT_TRUE(name.starts_with(".tsetting.ini.kestrival-")) << name;

        ASSERT_TRUE(write_installed_version(path_, kOldStamp));
        EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
        ASSERT_EQ(read_file(path_), before);
    }
}

INSTANTIATE_TEST_SUITE_P(Temps, KilledWriter, ::testing::Values(TempKind::Unnamed, TempKind::Named),
                         [](const auto &row) { return temp_kind_name(row.param); });

TEST_F(SettingsWrite, TwoProcessesWritingAtOnceNeverMixTheFile)
{
    const std::string before = with_padding(kBefore, kSmallPaddingBytes);
    const std::string after = with_padding(kAfter, kSmallPaddingBytes);
    write_file(path_, before);
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = ::fork();
        if (writers[w] == 0) {
            ::close(start[1]);
            char go;
            if (::read(start[0], &go, 1) != 0)
                ::_exit(2);
            for (int i = 0; i < kConcurrentWrites; ++i) {
                if (!write_installed_version(path_, w == 0 ? kNewStamp : kOldStamp))
                    ::_exit(1);
            }
            ::_exit(0);
        }
    }
    ::close(start[0]);
    ::close(start[1]);

    int finished = 0;
    int statuses[2] = {-1, -1};
    while (finished < 2) {
        const std::string seen = read_file(path_);
        EXPECT_TRUE(seen == before || seen == after) << "a reader saw a mixed or partial file";
        for (int w = 0; w < 2; ++w) {
            if (writers[w] > 0 && ::waitpid(writers[w], &statuses[w], WNOHANG) == writers[w]) {
                writers[w] = 0;
                ++finished;
            }
        }
    }
    for (const int status : statuses)
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
    const std::string left = read_file(path_);
    EXPECT_TRUE(left == before || left == after);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string> {"tsetting.ini"});
}

} // namespace
} // namespace kestrival::version
