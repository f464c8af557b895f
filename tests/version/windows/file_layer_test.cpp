#include "support.h"
#include "version/install_check.h"
#include "version/package_stamp.h"
#include "version/settings_file.h"
#include "version/settings_path.h"
#include "version/windows/win_file.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <cstring>
#include <fstream>
#include <random>

namespace kestrival::version {
namespace {

// Calls of the code under test that a test makes fail, as a full disk or failing device would:
// the call after `skip` successful ones fails once with `error`.
enum class Call { Write, Flush, Move, SetSecurity, None };
struct Fault {
    int skip = 0;
    DWORD error = 0;
};
Fault faults[static_cast<std::size_t>(Call::None) + 1];

bool fails(Call call)
{
    Fault &f = faults[static_cast<std::size_t>(call)];
    if (f.error == 0 || f.skip-- > 0)
        return false;
    ::SetLastError(std::exchange(f.error, 0));
    return true;
}

} // namespace
} // namespace kestrival::version

// Linked with --wrap for each import pointer, so the library's calls come here first.
#if defined(__MINGW32__)
constexpr bool kCanFail = true;
// clang-format off
#define KESTRIVAL_WRAP(fn, call, params, args) extern "C" decltype(&fn) __real___imp_##fn; \
    static BOOL WINAPI fake_##fn params { return kestrival::version::fails(kestrival::version::Call::call) ? FALSE : __real___imp_##fn args; } \
    extern "C" { decltype(&fn) __wrap___imp_##fn = fake_##fn; }
KESTRIVAL_WRAP(WriteFile, Write, (HANDLE h, LPCVOID b, DWORD n, LPDWORD done, LPOVERLAPPED at), (h, b, n, done, at))
KESTRIVAL_WRAP(FlushFileBuffers, Flush, (HANDLE h), (h))
KESTRIVAL_WRAP(MoveFileExW, Move, (LPCWSTR from, LPCWSTR to, DWORD f), (from, to, f))
// clang-format on
extern "C" decltype(&SetSecurityInfo) __real___imp_SetSecurityInfo;
static DWORD WINAPI fake_SetSecurityInfo(HANDLE h, SE_OBJECT_TYPE t, SECURITY_INFORMATION i, PSID o, PSID g, PACL d,
                                         PACL s)
{
    return kestrival::version::fails(kestrival::version::Call::SetSecurity)
        ? ERROR_ACCESS_DENIED
        : __real___imp_SetSecurityInfo(h, t, i, o, g, d, s);
}
extern "C" {
decltype(&SetSecurityInfo) __wrap___imp_SetSecurityInfo = fake_SetSecurityInfo;
}
#else
constexpr bool kCanFail = false;
#endif

namespace kestrival::version {
namespace {

// Run with one of these, the executable is a helper of a test: it holds a file open with a
// share mode and signals an event, writes the two stamps in turn, or tells the settings path.
constexpr const char *kHoldFlag = "--hold";
constexpr const char *kWriteFlag = "--write";
constexpr const char *kSettingsPathFlag = "--settings-path";

constexpr const char *kOldStamp = "20240101";
constexpr const char *kNewStamp = "20250615";
// Several copy buffers' worth of other content around the version, so a copy takes many writes.
constexpr std::size_t kPaddingBytes = 300 * 1024;
constexpr auto kShortLockWait = std::chrono::milliseconds(50);
constexpr DWORD kHelperTimeoutMs = 60'000;
constexpr int kKillRounds = 6;
constexpr DWORD kMaxKillDelayMs = 1500;
constexpr DWORD kNotHeld = ~DWORD {0};

std::string settings(const std::string &version)
{
    return "; " + std::string(kPaddingBytes, 'a') + "\r\n[DB]\r\nVersion=" + version + "\r\n; "
        + std::string(kPaddingBytes, 'b') + "\r\n";
}

std::wstring own_executable()
{
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

// A helper process, ended when this goes out of scope.
struct Helper {
    Helper() = default;
    explicit Helper(HANDLE h) : process(h) { }
    Helper(Helper &&) = default;
    ~Helper() { stop(); }
    void stop()
    {
        if (process.valid() && ::TerminateProcess(process.get(), 1) != 0)
            ::WaitForSingleObject(process.get(), kHelperTimeoutMs);
        process.reset();
    }
    UniqueHandle process;
};

Helper spawn(const std::wstring &exe, const std::string &args)
{
    std::wstring line = L"\"" + exe + L"\" " + to_wide(args);
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info {};
    if (::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info) == 0)
        return {};
    ::CloseHandle(info.hThread);
    return Helper(info.hProcess);
}

// Waits for a helper's end; its exit code, or -1 when it didn't end.
DWORD finish(Helper &helper)
{
    DWORD code = ~DWORD {0};
    if (::WaitForSingleObject(helper.process.get(), kHelperTimeoutMs) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(helper.process.get(), &code);
    return code;
}

// Another process that holds the file open with `share` until the helper is dropped.
Helper hold(const std::string &path, DWORD share)
{
    const std::string event = "kestrival-held-" + std::to_string(::GetCurrentProcessId());
    const UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, to_wide(event).c_str()));
    Helper helper
        = spawn(own_executable(), std::string(kHoldFlag) + " \"" + path + "\" " + std::to_string(share) + " " + event);
    const HANDLE both[] = {ready.get(), helper.process.get()};
    EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, kHelperTimeoutMs), WAIT_OBJECT_0) << "the holder didn't start";
    return helper;
}

// In a scratch folder that is the working directory; no fault outlives a test.
class InScratchDir {
protected:
    InScratchDir() { std::filesystem::current_path(testing::native(dir_.path())); }
    ~InScratchDir()
    {
        std::fill(std::begin(faults), std::end(faults), Fault {});
        std::filesystem::current_path(previous_);
    }
    std::filesystem::path previous_ = std::filesystem::current_path();
    testing::ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
    const std::string other_ = dir_.file("other-link.ini");
};

// What stands at the settings path (the old settings, nothing, a folder) with `attributes`,
// with a second link; another process holding it with `held` sharing; this one holding the
// folder's lock; a call that fails with `error` after `skip` good ones. Expected: the check,
// whether the read sees the old value, and the write's outcome (`reported`: WriteError::System
// with that code). A failed write changes nothing and leaves no file behind; a write keeps the
// attributes.
enum class Node { File, None, Folder };
struct Case {
    const char *name;
    Node node = Node::File;
    DWORD attributes = 0;
    bool linked = false;
    DWORD held = kNotHeld;
    bool locked = false;
    Call call = Call::None;
    DWORD error = 0;
    int skip = 0;
    bool check = true;
    bool readable = true;
    WriteError kind = WriteError::None;
    DWORD reported = 0;
};
void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

class OneWrite : public ::testing::TestWithParam<Case>, protected InScratchDir { };

TEST_P(OneWrite, ChecksReadsAndWritesAsTheCaseSays)
{
    const Case &c = GetParam();
    if (c.call != Call::None && !kCanFail)
        GTEST_SKIP() << "faults are injected through the GNU linker only";
    const std::string before = settings(kOldStamp);
    if (c.node == Node::File)
        testing::write_file(path_, before);
    if (c.node == Node::Folder)
        std::filesystem::create_directory(testing::native(path_));
    if (c.linked)
        std::filesystem::create_hard_link(testing::native(path_), testing::native(other_));
    ASSERT_TRUE(c.attributes == 0 || ::SetFileAttributesW(long_path(path_).c_str(), c.attributes) != 0);
    Helper holder = c.held != kNotHeld ? hold(path_, c.held) : Helper {};
    const UniqueHandle lock(c.locked ? ::CreateFileW(long_path(dir_.file(".kestrival-lock")).c_str(),
                                                     GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                                     FILE_FLAG_DELETE_ON_CLOSE, nullptr)
                                     : INVALID_HANDLE_VALUE);
    auto names = testing::list_dir(dir_.path());

    EXPECT_EQ(check_installation_file("tsetting.ini"), c.check);
    EXPECT_EQ(read_installed_version(path_), c.readable ? kOldStamp : "");
    faults[static_cast<std::size_t>(c.call)] = {c.skip, c.error};
    const WriteResult result = write_installed_version(path_, kNewStamp, kShortLockWait);
    EXPECT_EQ(result.kind, c.reported != 0 ? WriteError::System : c.kind) << result.error;
    EXPECT_EQ(result.system_error, static_cast<int>(c.reported)) << result.error;
    std::fprintf(stderr, "%s: %s\n", c.name, result.error.c_str());

    holder.stop();
    const bool written = c.kind == WriteError::None && c.reported == 0;
    if (written && c.node == Node::None)
        names.insert("tsetting.ini");
    EXPECT_EQ(testing::list_dir(dir_.path()), names);
    EXPECT_EQ(read_installed_version(path_), written ? kNewStamp : c.node == Node::File ? kOldStamp : "");
    EXPECT_TRUE(c.node != Node::File || testing::read_file(path_) == (written ? settings(kNewStamp) : before));
    EXPECT_TRUE(!c.linked || testing::read_file(other_) == testing::read_file(path_));
    EXPECT_TRUE(c.node != Node::File
                || ::GetFileAttributesW(long_path(path_).c_str()) == (c.attributes | FILE_ATTRIBUTE_ARCHIVE));
    ::SetFileAttributesW(long_path(path_).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A fault the write reports, in a file of `node`.
Case fault(const char *name, Call call, DWORD error, Node node = Node::File, int skip = 0)
{
    return {.name = name,
            .node = node,
            .call = call,
            .error = error,
            .skip = skip,
            .check = node == Node::File,
            .readable = node == Node::File,
            .reported = error};
}
using enum WriteError;

INSTANTIATE_TEST_SUITE_P(
    Cases, OneWrite,
    ::testing::Values(
        Case {.name = "Plain"}, Case {.name = "NewFile", .node = Node::None, .check = false, .readable = false},
        Case {.name = "Folder", .node = Node::Folder, .check = false, .readable = false, .kind = NotAFile},
        Case {.name = "ReadOnlyAttribute", .attributes = FILE_ATTRIBUTE_READONLY, .check = false, .kind = ReadOnly},
        Case {.name = "HiddenAttributeKept", .attributes = FILE_ATTRIBUTE_HIDDEN},
        Case {.name = "HardLink", .linked = true},
        Case {.name = "HeldWithNoSharing",
              .held = 0,
              .check = false,
              .readable = false,
              .reported = ERROR_SHARING_VIOLATION},
        Case {.name = "HeldSharingRead", .held = FILE_SHARE_READ, .check = false, .reported = ERROR_SHARING_VIOLATION},
        Case {.name = "HeldSharingReadAndWrite",
              .held = FILE_SHARE_READ | FILE_SHARE_WRITE,
              .check = false,
              .reported = ERROR_SHARING_VIOLATION},
        Case {.name = "HeldSharingAll", .held = kShareAll, .check = false},
        Case {.name = "FolderLockedTooLong", .locked = true, .kind = Busy},
        fault("DiskFullAtFirstWrite", Call::Write, ERROR_DISK_FULL),
        fault("IoErrorMidCopy", Call::Write, ERROR_CRC, Node::File, 3),
        fault("NewFileDiskFull", Call::Write, ERROR_DISK_FULL, Node::None),
        fault("DiskFullAtFlush", Call::Flush, ERROR_DISK_FULL), fault("RenameFails", Call::Move, ERROR_WRITE_FAULT),
        fault("NewFileMoveRefused", Call::Move, ERROR_ACCESS_DENIED, Node::None),
        // Edited in place instead, which keeps them.
        Case {.name = "AccessRulesCantBeGiven", .call = Call::SetSecurity, .error = ERROR_ACCESS_DENIED},
        Case {.name = "InPlaceDiskFull",
              .linked = true,
              .call = Call::Write,
              .error = ERROR_DISK_FULL,
              .reported = ERROR_DISK_FULL}),
    [](const auto &row) { return std::string(row.param.name); });

class FileLayer : public ::testing::Test, protected InScratchDir { };

// Two writers at once, one killed at a random moment: the file is the old or the new, the
// other writer never fails, and the next write removes what the killed one left (and only that).
TEST_F(FileLayer, AKilledWriterLeavesTheOldFileOrTheNewAndTheNextWriteCleansUp)
{
    const std::string before = settings(kOldStamp);
    testing::write_file(path_, before);
    testing::write_file(dir_.file(".tsetting.ini.kestrival-Ab12Cd"), "left by a killed writer");
    testing::write_file(dir_.file(".tsetting.ini.kestrival-long"), "not ours");
    const unsigned seed = std::random_device {}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    for (int round = 0; round < kKillRounds; ++round) {
        Helper killed = spawn(own_executable(), std::string(kWriteFlag) + " \"" + path_ + "\" 1000");
        Helper other = spawn(own_executable(), std::string(kWriteFlag) + " \"" + path_ + "\" 20");
        ::Sleep(std::uniform_int_distribution<DWORD>(0, kMaxKillDelayMs)(random));
        killed.stop();
        EXPECT_EQ(finish(other), 0u) << "the other writer failed";
        const std::string left = testing::read_file(path_);
        EXPECT_TRUE(left == before || left == settings(kNewStamp)) << "round " << round << ": a mixed or partial file";
        ASSERT_TRUE(write_installed_version(path_, kOldStamp));
        EXPECT_EQ(testing::list_dir(dir_.path()),
                  (std::set<std::string> {".tsetting.ini.kestrival-long", "tsetting.ini"}));
    }
}

// The check and the stamp take names in the working directory, which keeps the old limit.
TEST_F(FileLayer, WorksInAChineseFolderAndPastTheOldPathLimit)
{
    const std::string chinese = dir_.file("安装目录");
    std::string deep = chinese;
    ASSERT_NE(::CreateDirectoryW(long_path(chinese).c_str(), nullptr), 0);
    for (char c = 'a'; c < 'd'; ++c)
        ASSERT_NE(::CreateDirectoryW(long_path(deep += "/" + std::string(100, c)).c_str(), nullptr), 0);
    ASSERT_GT(long_path(deep).size(), 4u + MAX_PATH);
    for (const std::string &dir : {chinese, deep}) {
        ASSERT_TRUE(write_installed_version(dir + "/tsetting.ini", kOldStamp)) << dir;
        ASSERT_TRUE(write_installed_version(dir + "/tsetting.ini", kNewStamp)) << dir;
        EXPECT_EQ(read_installed_version(dir + "/tsetting.ini"), kNewStamp) << dir;
    }
    std::filesystem::current_path(testing::native(chinese));
    EXPECT_TRUE(check_installation_file("tsetting.ini"));
    testing::write_file(chinese + "/HarrowglimmerPatch.dat", "package");
    ASSERT_TRUE(testing::set_last_write(chinese + "/HarrowglimmerPatch.dat", 1'700'000'000));
    EXPECT_EQ(make_package_date_stamp(), "20231114");

    const std::wstring copy = long_path(chinese + "/copy.exe");
    ASSERT_NE(::CopyFileW(own_executable().c_str(), copy.c_str(), TRUE), 0);
    Helper helper = spawn(copy.substr(4), std::string(kSettingsPathFlag) + " \"" + dir_.file("told.txt") + "\"");
    EXPECT_EQ(finish(helper), 0u);
    EXPECT_EQ(testing::read_file(dir_.file("told.txt")), to_utf8(long_path(chinese).substr(4)) + "\\tsetting.ini");
}

} // namespace
} // namespace kestrival::version

int main(int argc, char **argv)
{
    using namespace kestrival::version;
    if (argc == 5 && std::strcmp(argv[1], kHoldFlag) == 0) {
        const UniqueHandle file = open_existing(long_path(argv[2]), GENERIC_READ, std::stoul(argv[3]));
        const UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, to_wide(argv[4]).c_str()));
        if (!file.valid() || !ready.valid() || ::SetEvent(ready.get()) == 0)
            return 1;
        ::Sleep(INFINITE);
    }
    if (argc == 4 && std::strcmp(argv[1], kWriteFlag) == 0) {
        for (int i = 0; i < std::stoi(argv[3]); ++i) {
            if (!write_installed_version(argv[2], i % 2 == 0 ? kNewStamp : kOldStamp))
                return 1;
        }
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], kSettingsPathFlag) == 0) {
        std::ofstream(argv[2], std::ios::binary) << build_settings_path().value_or("<none>");
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
