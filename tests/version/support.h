// Test support for the version core: scratch folders, whole files, the case tables.
#pragma once

#include "version/ini.h"
#include "version/package_stamp.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace kestrival::version::testing {

// Paths are UTF-8 text in the tests, as in the code under test, whatever the platform's own
// encoding of paths.
std::string utf8(const std::filesystem::path &path);
std::filesystem::path native(const std::string &utf8_path);

// A fresh directory of a random name under `parent` (default: the temporary folder), removed
// with all its content at destruction.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &parent = {});
    ~ScratchDir() { std::filesystem::remove_all(native(path_), ignored_); }
    ScratchDir(const ScratchDir &) = delete;
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::error_code ignored_;
};

void write_file(const std::string &path, const std::string &bytes);
// The whole file; a missing one reads as "<missing>".
std::string read_file(const std::string &path);
// Names in a directory, without "." and "..".
std::set<std::string> list_dir(const std::string &dir);

// What differs between platforms (posix/support.cpp, windows/support.cpp).

// Sets the mask of new files' permission bits while it lives, where files have such bits.
class ScopedUmask {
public:
    explicit ScopedUmask(unsigned mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask &) = delete;

private:
    unsigned previous_ = 0;
};
// A file's permission bits; nullopt where files have none.
std::optional<unsigned> permission_bits(const std::string &path);
// A folder on a file system that keeps file times far outside the usual, for stamps.
std::string any_time_dir();
// A file's last-write time in seconds since the epoch; setting it is false when it can't be set.
bool set_last_write(const std::string &path, std::int64_t seconds);
std::int64_t last_write(const std::string &path);
// Today's date by the local time the system keeps.
CalendarDate local_today();
// Whether the system decodes all of GB18030, four-byte units included.
bool system_decodes_gb18030();

// A row of a table in ini-cases: name, file (nullopt: no file), then per table: read: the
// value and a note; write: the stamp and the file after; display: the text shown and what
// that needs of the system.
struct Row {
    std::string name;
    std::optional<std::string> file;
    std::string second;
    std::string third;
};
void PrintTo(const Row &row, std::ostream *out);

// The rows of tables in `dir` (default $KESTRIVAL_TEST_DATA), in order, escapes (\n \r \t
// \\ \xHH, \{N*c} for N bytes c) undone. Throws when a table can't be read.
std::vector<Row> load_rows(const std::vector<std::string> &tables, std::string dir = {});

// The file's bytes with the edit applied.
inline std::string apply_version_edit(std::string_view bytes, const VersionEdit &edit)
{
    return std::string(bytes.substr(0, edit.begin)) + edit.replacement + std::string(bytes.substr(edit.end));
}

// Hands out at most `step` bytes per read, so units and line breaks fall across reads.
class DribbleSource final : public ByteSource {
public:
    DribbleSource(std::string_view bytes, std::size_t step) : bytes_(bytes), step_(step) { }
    [[nodiscard]] std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read(std::uint64_t offset, char *buf, std::size_t n) const override
    {
        return MemorySource(bytes_).read(offset, buf, std::min(n, step_));
    }

private:
    std::string_view bytes_;
    std::size_t step_;
};

} // namespace kestrival::version::testing
