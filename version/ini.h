// The settings file's INI dialect: finding, reading and replacing [DB] Version in bytes.
//
// Nothing here touches the file system. The scanner reads through a ByteSource, so the same
// code serves a string in memory (tests, fuzzing) and a file of any size read in bounded chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrival::version {

// Random access to a sequence of bytes. read() copies up to n bytes from offset into buf and
// returns how many it copied (0 at or past the end, or on an error: the scan then ends there).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    [[nodiscard]] virtual std::uint64_t size() const = 0;
    virtual std::size_t read(std::uint64_t offset, char *buf, std::size_t n) const = 0;
};

// A ByteSource over bytes held by the caller, who keeps them alive while it is used.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) { }
    [[nodiscard]] std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read(std::uint64_t offset, char *buf, std::size_t n) const override;

private:
    std::string_view bytes_;
};

// Returns the value of key Version in the first section DB, as bytes, by the platform's
// profile rules (line ends LF/CRLF/CR, names matched regardless of ASCII case, blanks
// trimmed, one pair of surrounding quotes removed, NUL ends a value, UTF-8 mark skipped,
// UTF-16 files with a mark returned as UTF-8). At most kMaxVersionBytes, never cutting a
// character (code page 936 double-byte or UTF-8) in half. Missing section or key, or an
// empty source: the empty string. Never fails, never reads a byte twice more than it must.
[[nodiscard]] std::string read_version(const ByteSource &source);
[[nodiscard]] std::string read_version(std::string_view bytes);

// How to turn a file's bytes into ones whose [DB] Version reads as the stamp: replace the
// bytes [begin, end) with `replacement`; every other byte stays. `unchanged` means the value
// already reads as the stamp and the file needs no write at all (then the span is empty).
// Offsets are in bytes of the file, also for UTF-16 files, whose replacement is UTF-16 of
// the file's byte order.
struct VersionEdit {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::string replacement;
    bool unchanged = false;
    friend bool operator==(const VersionEdit &, const VersionEdit &) = default;
};

// Plans the edit that records `stamp` (ASCII digits) as the version. A missing key is added
// after the section's last line that is neither blank nor a comment; a missing section is
// appended; an empty source becomes a new file. New lines take the file's first line ending,
// CRLF when it has none or it is a CR before NUL, LF (UTF-16 without a mark) (and CRLF where a lone CR would join the
// LF that follows it). An existing value is replaced up to the line's trailing blanks, so bytes after a NUL in it,
// which no read shows, are replaced too. An odd last byte of a UTF-16 file is kept and
// completed to a non-ASCII unit before anything is appended. For any bytes and a stamp of
// ASCII digits, the edited bytes read as the stamp and a second plan is `unchanged`.
// Never fails.
[[nodiscard]] VersionEdit plan_version_edit(const ByteSource &source, std::string_view stamp);

} // namespace kestrival::version
