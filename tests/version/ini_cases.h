// Loads the shared INI case tables from the test data folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrival::version::testing {

// The table's escapes undone: \n \r \t \\, \xHH, and \{N*c} for N repetitions of the byte c
// (itself possibly escaped). Throws std::invalid_argument on a malformed escape.
[[nodiscard]] std::string decode_escapes(std::string_view text);

struct ReadCase {
    std::string name;
    std::optional<std::string> file;   // nullopt: the file does not exist
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

// The tables' rows, in file order. Throws std::runtime_error when a table can't be read or a
// row is malformed, naming the file and line.
[[nodiscard]] std::vector<ReadCase> load_read_cases(const std::string &dir);
[[nodiscard]] std::vector<WriteCase> load_write_cases(const std::string &dir);

} // namespace kestrival::version::testing
