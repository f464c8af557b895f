// Small pieces of the Win32 file interface the version core's file layer is built from.
#pragma once

#include "version/ini.h"

#include <string>
#include <string_view>
#include <utility>
#include <windows.h>

namespace kestrival::version {

[[nodiscard]] std::wstring to_wide(std::string_view utf8);
[[nodiscard]] std::string to_utf8(std::wstring_view wide);

// The absolute form of a UTF-8 path, relative ones against the working directory, with the
// `\\?\` prefix that lifts the 260-character limit. Empty when it can't be had.
[[nodiscard]] std::wstring long_path(const std::string &path);

// The system's text for an error code, in UTF-8.
[[nodiscard]] std::string system_message(DWORD error);

// An owned file handle, closed when it goes out of scope.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) { }
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle &&other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) { }
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        reset();
        h_ = std::exchange(other.h_, INVALID_HANDLE_VALUE);
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;

    [[nodiscard]] HANDLE get() const { return h_; }
    [[nodiscard]] bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    void reset()
    {
        if (valid())
            ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens an existing file or folder (folders only when `folders`), following links.
[[nodiscard]] UniqueHandle open_existing(const std::wstring &path, DWORD access, DWORD share, bool folders = false);

// Whether the handle is a file on disk and not a folder; its details in `info` when given.
[[nodiscard]] bool is_disk_file(HANDLE h, BY_HANDLE_FILE_INFORMATION *info = nullptr);

// Reads or writes all `n` bytes at `offset` of a synchronous handle, without moving its file
// pointer; false when the system fails or the file ends first (then GetLastError() is 0).
bool read_at(HANDLE h, std::uint64_t offset, char *buf, std::size_t n);
bool write_at(HANDLE h, std::uint64_t offset, const char *buf, std::size_t n);

// A ByteSource over an open file handle; its size is taken once, and a read error ends the data.
class HandleSource final : public ByteSource {
public:
    explicit HandleSource(HANDLE h);
    [[nodiscard]] std::uint64_t size() const override { return size_; }
    std::size_t read(std::uint64_t offset, char *buf, std::size_t n) const override;

private:
    HANDLE h_;
    std::uint64_t size_ = 0;
};

} // namespace kestrival::version
