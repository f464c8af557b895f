// Loads the shared INI case tables from the test data folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrival::version::testing {

struct ReadCase {
    std::string name;
    std::optional<std::string> file; // nullopt: the file does not exist
    std::string version;
    std::string note;
};

struct WriteCase {
    std::string name;
    std::optional<std::string> before;
    std::string stamp;
    std::string after;
};

// The folder holding read.tsv and write.tsv: $KESTRIVAL_TEST_DATA/ini-cases.
[[nodiscard]] std::string ini_cases_dir();

// The tables' rows, in file order, escapes (\n \r \t \\ \xHH, \{N*c} for N bytes c) undone.
// Throw when a table can't be read or a row is malformed.
[[nodiscard]] std::vector<ReadCase> load_read_cases(const std::string &dir);
[[nodiscard]] std::vector<WriteCase> load_write_cases(const std::string &dir);

// The UTF-16 bytes of `text` in the given order, after a byte order mark if `mark`.
[[nodiscard]] std::string utf16(std::u16string_view text, bool big_endian, bool mark = true);

} // namespace kestrival::version::testing
