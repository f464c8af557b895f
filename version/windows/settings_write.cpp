#include "version/settings_file.h"

#include "version/constants.h"
#include "version/ini.h"
#include "version/windows/win_file.h"

#include <aclapi.h>
#include <algorithm>
#include <random>
#include <thread>
#include <vector>

namespace kestrival::version {

namespace {

constexpr auto kLockPollInterval = std::chrono::milliseconds(5);
// Temporary files are ".<name>.kestrival-XXXXXX" beside the file they replace.
constexpr std::wstring_view kTempMarker = L".kestrival-";
constexpr std::size_t kTempSuffixLength = 6;
constexpr std::wstring_view kTempAlphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kTempNameTries = 100;
constexpr std::wstring_view kLockName = L".kestrival-lock";

std::string in_quotes(const std::string &text) { return "\"" + text + "\""; }

// A folder as users write it, without the prefix that lifts the length limit.
std::string shown(const std::wstring &path) { return to_utf8(path.starts_with(L"\\\\?\\") ? path.substr(4) : path); }

WriteResult failure(WriteError kind, const std::string &what) { return {kind, 0, what}; }

// For a system call that just failed, before anything else can change its error code. No code
// means a read found the file shorter than planned: another program changed it meanwhile.
WriteResult system_failure(std::string_view before, const std::string &subject, std::string_view after = {})
{
    const DWORD error = ::GetLastError();
    if (error == 0)
        return failure(WriteError::Changed, in_quotes(subject) + " changed while it was being written; try again");
    return {WriteError::System, static_cast<int>(error),
            std::string(before) + in_quotes(subject) + std::string(after) + ": " + system_message(error)};
}

// The file at the end of any links at `path`, or `path` made absolute when nothing is there yet.
std::wstring resolve_links(const std::string &path)
{
    const std::wstring full = long_path(path);
    const UniqueHandle file = open_existing(full, 0, kShareAll, true);
    std::wstring final(MAX_PATH, L'\0');
    DWORD n = 0;
    while (file.valid()
           && (n = ::GetFinalPathNameByHandleW(file.get(), final.data(), static_cast<DWORD>(final.size()), 0))
               >= final.size())
        final.resize(n);
    return n == 0 ? full : final.substr(0, n);
}

// Writers of one folder take turns through a lock file that one writer at a time holds open,
// and that goes with its holder's last handle, also when the holder is killed. Where none can
// be made (a folder that takes no new file) the file can only be changed where it is, and that
// edit's open, which shares only reading, keeps writers apart there.
UniqueHandle lock_folder(const std::wstring &dir, std::chrono::milliseconds wait, bool &busy)
{
    const std::wstring name = dir + L"\\" + std::wstring(kLockName);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        UniqueHandle lock(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        const DWORD error = ::GetLastError();
        // A lock file on its way out with its last holder refuses opens for a moment as well.
        const bool held = error == ERROR_SHARING_VIOLATION
            || (error == ERROR_ACCESS_DENIED && ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES);
        if (lock.valid() || !held)
            return lock;
        if ((busy = std::chrono::steady_clock::now() >= deadline))
            return lock;
        std::this_thread::sleep_for(kLockPollInterval);
    }
}

std::wstring temp_prefix(const std::wstring &name) { return L"." + name + std::wstring(kTempMarker); }

// Removes what a writer killed between creating and placing its file left; the lock we hold
// means no living writer owns such a file.
void remove_stale_temps(const std::wstring &dir, const std::wstring &name)
{
    const std::wstring prefix = temp_prefix(name);
    WIN32_FIND_DATAW found {};
    const HANDLE search = ::FindFirstFileW((dir + L"\\" + prefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring_view entry = found.cFileName;
        if (entry.size() == prefix.size() + kTempSuffixLength && entry.starts_with(prefix)
            && (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
            ::DeleteFileW((dir + L"\\" + std::wstring(entry)).c_str());
    } while (::FindNextFileW(search, &found) != 0);
    ::FindClose(search);
}

// The new file, until it takes the old one's place; removed if it never does.
class TempFile {
public:
    TempFile(const std::wstring &dir, const std::wstring &name)
    {
        std::random_device random;
        std::uniform_int_distribution<std::size_t> pick(0, kTempAlphabet.size() - 1);
        for (int i = 0; i < kTempNameTries && !file_.valid(); ++i) {
            path_ = dir + L"\\" + temp_prefix(name);
            for (std::size_t c = 0; c < kTempSuffixLength; ++c)
                path_ += kTempAlphabet[pick(random)];
            file_ = UniqueHandle(::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0, nullptr,
                                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file_.valid() && ::GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        if (!file_.valid())
            path_.clear();
    }
    ~TempFile()
    {
        file_.reset();
        if (!path_.empty())
            ::DeleteFileW(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    [[nodiscard]] HANDLE get() const { return file_.get(); }
    [[nodiscard]] bool valid() const { return file_.valid(); }
    [[nodiscard]] const std::wstring &path() const { return path_; }
    // The file must be closed to take another's place.
    void close() { file_.reset(); }
    void keep() { path_.clear(); }

private:
    UniqueHandle file_;
    std::wstring path_;
};

// Gives `to` the attributes, creation time and access rules of `from`, which a replace keeps;
// false when the system won't let us.
bool same_attributes_and_security(HANDLE from, HANDLE to, const BY_HANDLE_FILE_INFORMATION &old)
{
    FILE_BASIC_INFO basic {};
    basic.CreationTime.LowPart = old.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(old.ftCreationTime.dwHighDateTime);
    basic.FileAttributes = old.dwFileAttributes;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::SetFileInformationByHandle(to, FileBasicInfo, &basic, sizeof basic) == 0
        || ::GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                             &descriptor)
            != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    // Rules the old file had from its folder come again from the folder, its own stay its own.
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION
        | ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                              : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const DWORD error = ::SetSecurityInfo(to, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
    ::LocalFree(descriptor);
    return error == ERROR_SUCCESS;
}

std::int64_t shift_of(const VersionEdit &edit)
{
    return static_cast<std::int64_t>(edit.replacement.size()) - static_cast<std::int64_t>(edit.end - edit.begin);
}

// Copies [begin, end) of `from` to `shift` bytes further on in `to`, which may be `from`: then
// from the far end first when the bytes move on, so none is overwritten before it is read.
bool copy_range(HANDLE from, HANDLE to, std::uint64_t begin, std::uint64_t end, std::int64_t shift)
{
    std::vector<char> chunk(kReadChunkBytes);
    for (std::uint64_t done = 0; done < end - begin;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), end - begin - done));
        done += n;
        const std::uint64_t at = from == to && shift > 0 ? end - done : begin + done - n;
        if (!read_at(from, at, chunk.data(), n)
            || !write_at(to, at + static_cast<std::uint64_t>(shift), chunk.data(), n))
            return false;
    }
    return true;
}

bool set_size(HANDLE file, std::uint64_t size)
{
    FILE_END_OF_FILE_INFO end {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// For a file a new one can't stand in for: other links point at it, its attributes or access
// rules can't be given to a new file, or it can't be replaced or renamed over. Other programs may
// read meanwhile but not write, so the bytes moved are the ones planned from.
WriteResult edit_in_place(const std::wstring &target, const std::string &path, std::string_view stamp)
{
    const UniqueHandle file = open_existing(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    if (!file.valid())
        return system_failure("Can't write ", path);
    const HandleSource source(file.get());
    const VersionEdit edit = plan_version_edit(source, stamp);
    const std::int64_t shift = shift_of(edit);
    const std::uint64_t size = source.size() + static_cast<std::uint64_t>(shift);
    bool ok = shift <= 0 || set_size(file.get(), size);
    ok = ok && (shift == 0 || copy_range(file.get(), file.get(), edit.end, source.size(), shift));
    ok = ok && (shift >= 0 || set_size(file.get(), size));
    ok = ok && write_at(file.get(), edit.begin, edit.replacement.data(), edit.replacement.size());
    if (!ok || ::FlushFileBuffers(file.get()) == 0)
        return system_failure("Can't write the new content of ", path);
    return {};
}

WriteResult write_locked(const std::wstring &target, const std::wstring &dir, const std::wstring &name,
                         const std::string &path, std::string_view stamp)
{
    UniqueHandle old = open_existing(target, GENERIC_READ, kShareAll, true);
    if (!old.valid() && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        return system_failure("Can't read ", path);
    const bool exists = old.valid();
    BY_HANDLE_FILE_INFORMATION info {};
    if (exists && !is_disk_file(old.get(), &info))
        return failure(WriteError::NotAFile, in_quotes(path) + " is not a regular file; it was left as it is");

    const HandleSource source(old.get());
    const VersionEdit edit = plan_version_edit(source, stamp);
    if (edit.unchanged)
        return {};
    if (exists && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        return failure(WriteError::ReadOnly, in_quotes(path) + " is read-only; it was left as it is");
    // Each program that holds the file must let it be replaced, or the replace would fail only
    // after the new file was made. A file we may change but not replace, or in a folder that
    // takes no new file (an installation that lets users change this file and nothing else),
    // is changed where it is.
    if (exists && !open_existing(target, DELETE, kShareAll).valid()) {
        if (::GetLastError() != ERROR_ACCESS_DENIED)
            return system_failure("Can't replace ", path);
        old.reset();
        return edit_in_place(target, path, stamp);
    }

    TempFile temp(dir, name);
    if (!temp.valid() && (!exists || ::GetLastError() != ERROR_ACCESS_DENIED))
        return system_failure("Can't create a new file in the folder ", shown(dir));
    if (exists
        && (!temp.valid() || info.nNumberOfLinks > 1 || !same_attributes_and_security(old.get(), temp.get(), info))) {
        old.reset();
        return edit_in_place(target, path, stamp);
    }
    bool ok = !exists || copy_range(old.get(), temp.get(), 0, edit.begin, 0);
    ok = ok && write_at(temp.get(), edit.begin, edit.replacement.data(), edit.replacement.size());
    ok = ok && (!exists || copy_range(old.get(), temp.get(), edit.end, source.size(), shift_of(edit)));
    LARGE_INTEGER now {};
    const bool changed = ok && exists
        && (::GetFileSizeEx(old.get(), &now) == 0 || static_cast<std::uint64_t>(now.QuadPart) != source.size());
    if (changed)
        ::SetLastError(0);
    if (!ok || changed)
        return system_failure("Can't write the new content of ", path);
    if (::FlushFileBuffers(temp.get()) == 0)
        return system_failure("Can't save the new content of ", path, " to disk");
    temp.close();
    old.reset();

    // One rename, so a reader or a crash sees the old file or the new one; a replace by the
    // system's own call may go through a third name, and the file be missing meanwhile.
    if (::MoveFileExW(temp.path().c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        temp.keep();
        return {};
    }
    // A program that holds the file, even sharing everything, may still stand in the way of a
    // rename over it; the file itself can then be edited all the same.
    if (exists && ::GetLastError() == ERROR_ACCESS_DENIED)
        return edit_in_place(target, path, stamp);
    return system_failure("Can't put the new ", path, " in place");
}

} // namespace

WriteResult write_installed_version(const std::string &path, std::string_view stamp,
                                    std::chrono::milliseconds lock_wait)
{
    const std::wstring target = resolve_links(path);
    const std::size_t cut = target.rfind(L'\\');
    if (cut == std::wstring::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return system_failure("Can't write ", path);
    }
    const std::wstring dir = target.substr(0, cut);
    const std::wstring name = target.substr(cut + 1);
    if (name.empty())
        return failure(WriteError::NotAFile, in_quotes(path) + " names a folder, not a file");
    bool busy = false;
    const UniqueHandle lock = lock_folder(dir, lock_wait, busy);
    if (busy)
        return failure(WriteError::Busy,
                       "Another program is writing in the folder " + in_quotes(shown(dir)) + "; try again later");
    if (lock.valid())
        remove_stale_temps(dir, name);
    return write_locked(target, dir, name, path, stamp);
}

} // namespace kestrival::version
