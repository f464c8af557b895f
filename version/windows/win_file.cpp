#include "version/windows/win_file.h"

#include <algorithm>
#include <cwctype>
#include <string>

namespace kestrival::version {

namespace {

// ReadFile and WriteFile take a 32-bit count; a gigabyte per call stays well clear of it.
constexpr std::size_t kMaxIoBytes = std::size_t {1} << 30;

std::size_t transfer_at(HANDLE h, std::uint64_t offset, char *buf, std::size_t n, bool write)
{
    std::size_t done = 0;
    while (done < n) {
        OVERLAPPED at {};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        const auto ask = static_cast<DWORD>(std::min(n - done, kMaxIoBytes));
        DWORD moved = 0;
        const BOOL ok
            = write ? ::WriteFile(h, buf + done, ask, &moved, &at) : ::ReadFile(h, buf + done, ask, &moved, &at);
        if (!ok || moved == 0) {
            // The end of the file is no system failure: the caller sees a short transfer.
            if (ok || ::GetLastError() == ERROR_HANDLE_EOF)
                ::SetLastError(0);
            break;
        }
        done += moved;
    }
    return done;
}

} // namespace

std::wstring to_wide(std::string_view utf8)
{
    const int n
        = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string to_utf8(std::wstring_view wide)
{
    const int n
        = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(n, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::wstring long_path(const std::string &path)
{
    const std::wstring wide = to_wide(path);
    // Text that isn't UTF-8, or a NUL that would cut the name short, names no file.
    if (wide.empty() || wide.find(L'\0') != std::wstring::npos)
        return {};
    const DWORD need = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(need, L'\0');
    const DWORD got = ::GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
    if (need == 0 || got == 0 || got >= need)
        return {};
    full.resize(got);
    // Devices and paths that already have the prefix stay as they are.
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\"))
        return full;
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string system_message(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n
        = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", n);
    ::LocalFree(text);
    while (!message.empty() && (message.back() == L'.' || message.back() == L'\u3002' || std::iswspace(message.back())))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : to_utf8(message);
}

UniqueHandle open_existing(const std::wstring &path, DWORD access, DWORD share, bool folders)
{
    return UniqueHandle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                      folders ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool is_disk_file(HANDLE h, BY_HANDLE_FILE_INFORMATION *info)
{
    BY_HANDLE_FILE_INFORMATION own {};
    BY_HANDLE_FILE_INFORMATION &i = info != nullptr ? *info : own;
    return ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &i) != 0
        && (i.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool read_at(HANDLE h, std::uint64_t offset, char *buf, std::size_t n)
{
    return transfer_at(h, offset, buf, n, false) == n;
}

bool write_at(HANDLE h, std::uint64_t offset, const char *buf, std::size_t n)
{
    return transfer_at(h, offset, const_cast<char *>(buf), n, true) == n;
}

HandleSource::HandleSource(HANDLE h) : h_(h)
{
    LARGE_INTEGER size {};
    if (::GetFileSizeEx(h, &size) != 0 && size.QuadPart > 0)
        size_ = static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t HandleSource::read(std::uint64_t offset, char *buf, std::size_t n) const
{
    return offset < size_
        ? transfer_at(h_, offset, buf, static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset)), false)
        : 0;
}

} // namespace kestrival::version
