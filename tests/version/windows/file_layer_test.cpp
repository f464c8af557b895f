#include "support.h"
#include "version/install_check.h"
#include "version/package_stamp.h"
#include "version/settings_file.h"
#include "version/settings_path.h"
#include "version/windows/win_file.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <algorithm>
#include <array>

namespace kestrival::version {
namespace {

// Calls of the code under test that a test makes fail, as a full disk or failing device would:
// the call after `skip` (first) successful ones fails once with `error` (second).
enum class Call { Write, Flush, Move, SetSecurity, Create, OpenToDelete, None };
std::pair<DWORD, DWORD> faults[static_cast<std::size_t>(Call::None) + 1];

bool fails(Call call)
{
    auto &[skip, error] = faults[static_cast<std::size_t>(call)];
    if (error == 0 || skip-- > 0)
        return false;
    ::SetLastError(std::exchange(error, 0));
    return true;
}

} // namespace
} // namespace kestrival::version

// Linked with --wrap for each import pointer, so the library's calls come here first.
// clang-format off
#define KESTRIVAL_WRAP(type, fn, call, failed, params, args) extern "C" decltype(&fn) __real___imp_##fn; \
    static type WINAPI fake_##fn params { return kestrival::version::fails(kestrival::version::Call::call) ? failed : __real___imp_##fn args; } \
    extern "C" { decltype(&fn) __wrap___imp_##fn = fake_##fn; }
KESTRIVAL_WRAP(BOOL, WriteFile, Write, FALSE, (HANDLE h, LPCVOID b, DWORD n, LPDWORD done, LPOVERLAPPED at), (h, b, n, done, at))
KESTRIVAL_WRAP(BOOL, FlushFileBuffers, Flush, FALSE, (HANDLE h), (h))
KESTRIVAL_WRAP(BOOL, MoveFileExW, Move, FALSE, (LPCWSTR from, LPCWSTR to, DWORD f), (from, to, f))
KESTRIVAL_WRAP(DWORD, SetSecurityInfo, SetSecurity, ::GetLastError(),
               (HANDLE h, SE_OBJECT_TYPE t, SECURITY_INFORMATION i, PSID o, PSID g, PACL d, PACL s), (h, t, i, o, g, d, s))
// clang-format on
// Creating a file and opening one to delete it fail as a folder's access rules would refuse them.
extern "C" decltype(&CreateFileW) __real___imp_CreateFileW;
static HANDLE WINAPI fake_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                      DWORD disposition, DWORD flags, HANDLE from)
{
    using kestrival::version::Call;
    if ((disposition != OPEN_EXISTING && kestrival::version::fails(Call::Create))
        || (access == DELETE && kestrival::version::fails(Call::OpenToDelete)))
        return INVALID_HANDLE_VALUE;
    return __real___imp_CreateFileW(name, access, share, security, disposition, flags, from);
}
extern "C" {
decltype(&CreateFileW) __wrap___imp_CreateFileW = fake_CreateFileW;
}

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
constexpr DWORD kKillRounds = 6;
constexpr DWORD kMaxKillDelayMs = 1500;

std::string settings(const std::string &version)
{
    return "; " + std::string(kPaddingBytes, 'a') + "\r\n[DB]\r\nVersion=" + version + "\r\n; "
        + std::string(kPaddingBytes, 'b') + "\r\n";
}

std::wstring own_executable()
{
    wchar_t path[4 * MAX_PATH];
    return {path, ::GetModuleFileNameW(nullptr, path, std::size(path))};
}

// A helper process, ended when this goes out of scope.
struct Helper : UniqueHandle {
    using UniqueHandle::UniqueHandle;
    Helper(Helper &&) = default;
    ~Helper() { stop(); }
    void stop()
    {
        if (valid() && ::TerminateProcess(get(), 1) != 0)
            ::WaitForSingleObject(get(), kHelperTimeoutMs);
        reset();
    }
};

Helper spawn(const std::string &args, const std::wstring &exe = own_executable())
{
    std::wstring line = L"\"" + exe + L"\" " + to_wide(args);
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info {};
    ::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    ::CloseHandle(info.hThread);
    return Helper(info.hProcess);
}

// Another process that holds the file open for `access` with `share` until the helper is dropped.
Helper hold(const std::string &path, DWORD share, DWORD access)
{
    const std::string event = "kestrival-held-" + std::to_string(::GetCurrentProcessId());
    const UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, to_wide(event).c_str()));
    Helper helper = spawn(std::string(kHoldFlag) + " \"" + path + "\" " + std::to_string(share) + " "
                          + std::to_string(access) + " " + event);
    const HANDLE both[] = {ready.get(), helper.get()};
    EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, kHelperTimeoutMs), WAIT_OBJECT_0) << "the holder didn't start";
    return helper;
}

// The file's identity, which an edit in place keeps and a new file doesn't.
std::uint64_t file_id(const std::string &path)
{
    BY_HANDLE_FILE_INFORMATION info {};
    const UniqueHandle file = open_existing(long_path(path), 0, kShareAll);
    return is_disk_file(file.get(), &info) ? (std::uint64_t {info.nFileIndexHigh} << 32) | info.nFileIndexLow : 0;
}

// In a scratch folder that is the working directory.
class InScratchDir {
protected:
    InScratchDir() { std::filesystem::current_path(testing::native(dir_.path())); }
    ~InScratchDir() { std::filesystem::current_path(previous_); }
    std::filesystem::path previous_ = std::filesystem::current_path();
    testing::ScratchDir dir_;
    const std::string path_ = dir_.file("tsetting.ini");
    const std::string other_ = dir_.file("other-link.ini");
};

// A row of write-cases.tsv: its name; in words, what stands at the settings path and around
// it; which of the check and the read succeed; the write's outcome: a kind, or a system error.
class OneWrite : public ::testing::TestWithParam<testing::Row>, protected InScratchDir {
protected:
    const std::string &setup_ = *GetParam().file;
    bool has(const std::string &word) const { return (" " + setup_ + " ").find(" " + word + " ") != setup_.npos; }
    // The number after `key=`, or `otherwise`.
    DWORD value(const std::string &key, DWORD otherwise = 0) const
    {
        const std::size_t at = (" " + setup_).find(" " + key + "=");
        return at == std::string::npos ? otherwise : std::stoul(setup_.substr(at + key.size() + 1));
    }
};

TEST_P(OneWrite, ChecksReadsAndWritesAsTheRowSays)
{
    const auto call = static_cast<Call>(value("fails", static_cast<DWORD>(Call::None)));
    const std::string before = settings(kOldStamp);
    if (has("file"))
        testing::write_file(path_, before);
    if (has("folder"))
        std::filesystem::create_directory(testing::native(path_));
    if (has("linked"))
        std::filesystem::create_hard_link(testing::native(path_), testing::native(other_));
    const DWORD attributes = value("attributes");
    ASSERT_TRUE(attributes == 0 || ::SetFileAttributesW(long_path(path_).c_str(), attributes) != 0);
    Helper holder = setup_.find("held=") == std::string::npos
        ? Helper(nullptr)
        : hold(path_, value("held"), has("writing") ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ);
    // Another writer's lock on the folder.
    const UniqueHandle lock(has("locked") ? ::CreateFileW(long_path(dir_.file(".kestrival-lock")).c_str(), GENERIC_READ,
                                                          0, nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr)
                                          : INVALID_HANDLE_VALUE);
    auto names = testing::list_dir(dir_.path());
    const std::uint64_t id = file_id(path_);

    EXPECT_EQ(check_installation_file("tsetting.ini"), GetParam().second.find("check") != std::string::npos);
    EXPECT_EQ(read_installed_version(path_), GetParam().second.find("read") != std::string::npos ? kOldStamp : "");
    faults[static_cast<std::size_t>(call)] = {value("skip"), value("error")};
    const WriteResult result = write_installed_version(path_, kNewStamp, kShortLockWait);
    constexpr std::array<std::string_view, 4> kKinds {"ok", "NotAFile", "ReadOnly", "Busy"};
    const auto named = std::find(kKinds.begin(), kKinds.end(), GetParam().third);
    const auto kind = named == kKinds.end() ? WriteError::System : static_cast<WriteError>(named - kKinds.begin());
    EXPECT_EQ(result.kind, kind) << result.error;
    EXPECT_EQ(result.system_error, named == kKinds.end() ? std::stoi(GetParam().third) : 0) << result.error;

    holder.stop();
    const bool written = kind == WriteError::None;
    if (written && !has("file"))
        names.insert("tsetting.ini");
    EXPECT_EQ(testing::list_dir(dir_.path()), names);
    EXPECT_EQ(read_installed_version(path_), written ? kNewStamp : has("file") ? kOldStamp : "");
    EXPECT_TRUE(!has("file") || testing::read_file(path_) == (written ? settings(kNewStamp) : before));
    EXPECT_TRUE(!written || !has("file")
                || (file_id(path_) == id) == (GetParam().second.find("in_place") != std::string::npos));
    EXPECT_TRUE(!has("linked") || testing::read_file(other_) == testing::read_file(path_));
    EXPECT_TRUE(!has("file")
                || ::GetFileAttributesW(long_path(path_).c_str()) == (attributes | FILE_ATTRIBUTE_ARCHIVE));
    ::SetFileAttributesW(long_path(path_).c_str(), FILE_ATTRIBUTE_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(Tsv, OneWrite, ::testing::ValuesIn(testing::load_rows({"../windows/write-cases.tsv"})),
                         [](const auto &row) { return row.param.name; });

class FileLayer : public ::testing::Test, protected InScratchDir { };

// Two writers at once, one killed at a moment that moves on each round: the file is the old or the new, the
// other writer never fails, and the next write removes what the killed one left, and only that
// (not a name one letter longer).
TEST_F(FileLayer, AKilledWriterLeavesTheOldFileOrTheNewAndTheNextWriteCleansUp)
{
    testing::write_file(path_, settings(kOldStamp));
    testing::write_file(dir_.file(".tsetting.ini.kestrival-Ab12Cd"), "left by a killed writer");
    testing::write_file(dir_.file(".tsetting.ini.kestrival-Ab12Cd7"), "not ours");
    for (DWORD round = 0; round < kKillRounds; ++round) {
        Helper killed = spawn(std::string(kWriteFlag) + " \"" + path_ + "\" 1000");
        Helper other = spawn(std::string(kWriteFlag) + " \"" + path_ + "\" 20");
        ::Sleep(kMaxKillDelayMs * round / kKillRounds);
        killed.stop();
        DWORD code = 1;
        ::WaitForSingleObject(other.get(), kHelperTimeoutMs);
        EXPECT_TRUE(::GetExitCodeProcess(other.get(), &code) && code == 0) << "the other writer failed";
        const std::string left = testing::read_file(path_);
        EXPECT_TRUE(left == settings(kOldStamp) || left == settings(kNewStamp))
            << "round " << round << ": a mixed or partial file";
        ASSERT_TRUE(write_installed_version(path_, kOldStamp));
        EXPECT_EQ(testing::list_dir(dir_.path()),
                  (std::set<std::string> {".tsetting.ini.kestrival-Ab12Cd7", "tsetting.ini"}));
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

    // Windows (and Wine) start no program from past the old limit, so only the Chinese folder.
    const std::wstring copy = long_path(chinese + "/copy.exe");
    ASSERT_NE(::CopyFileW(own_executable().c_str(), copy.c_str(), TRUE), 0);
    Helper helper = spawn(std::string(kSettingsPathFlag) + " \"" + dir_.file("told.txt") + "\"", copy.substr(4));
    ::WaitForSingleObject(helper.get(), kHelperTimeoutMs);
    EXPECT_EQ(testing::read_file(dir_.file("told.txt")), to_utf8(long_path(chinese).substr(4)) + "\\tsetting.ini");
}

} // namespace
} // namespace kestrival::version

int main(int argc, char **argv)
{
    using namespace kestrival::version;
    if (argc == 6 && argv[1] == std::string_view(kHoldFlag)) {
        const UniqueHandle file = open_existing(long_path(argv[2]), std::stoul(argv[4]), std::stoul(argv[3]));
        const UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, to_wide(argv[5]).c_str()));
        if (!file.valid() || !ready.valid() || ::SetEvent(ready.get()) == 0)
            return 1;
        ::Sleep(INFINITE);
    }
    if (argc == 4 && argv[1] == std::string_view(kWriteFlag)) {
        int i = 0;
        while (i < std::stoi(argv[3]) && write_installed_version(argv[2], i++ % 2 == 0 ? kNewStamp : kOldStamp)) { }
        return i == std::stoi(argv[3]) ? 0 : 1;
    }
    if (argc == 3 && argv[1] == std::string_view(kSettingsPathFlag)) {
        kestrival::version::testing::write_file(argv[2], build_settings_path().value_or("<none>"));
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
