#include "ini_cases.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace kestrival::version::testing {

namespace {

constexpr std::string_view kMissing = "<missing>";

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit in escape");
}

// Decodes one byte starting at text[i] (plain or escaped) and moves i past it.
char decode_one(std::string_view text, std::size_t &i)
{
    if (text[i] != '\\')
        return text[i++];
    if (i + 1 >= text.size())
        throw std::invalid_argument("dangling backslash");
    const char k = text[i + 1];
    i += 2;
    switch (k) {
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case '\\':
        return '\\';
    case 'x':
        if (i + 2 > text.size())
            throw std::invalid_argument("short \\x escape");
        i += 2;
        return static_cast<char>(hex_digit(text[i - 2]) * 16 + hex_digit(text[i - 1]));
    default:
        throw std::invalid_argument(std::string("unknown escape \\") + k);
    }
}

std::vector<std::string> split_tabs(const std::string &line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', from);
        fields.push_back(line.substr(from, tab - from));
        if (tab == std::string::npos)
            return fields;
        from = tab + 1;
    }
}

std::optional<std::string> decode_file(const std::string &field)
{
    if (field == kMissing)
        return std::nullopt;
    return decode_escapes(field);
}

// Rows of a table, header dropped, each split into at least `columns` fields.
std::vector<std::vector<std::string>> load_rows(const std::string &path, std::size_t columns)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (number == 1 || line.empty())
            continue;
        auto fields = split_tabs(line);
        if (fields.size() < columns - 1)
            throw std::runtime_error(path + ":" + std::to_string(number) + ": too few columns");
        fields.resize(std::max(fields.size(), columns));
        rows.push_back(std::move(fields));
    }
    return rows;
}

} // namespace

std::string decode_escapes(std::string_view text)
{
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.substr(i, 2) != "\\{") {
            out += decode_one(text, i);
            continue;
        }
        const std::size_t star = text.find('*', i);
        if (star == std::string_view::npos)
            throw std::invalid_argument("\\{ without *");
        const std::string count(text.substr(i + 2, star - i - 2));
        if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos)
            throw std::invalid_argument("\\{N* with a bad count");
        std::size_t j = star + 1;
        if (j >= text.size())
            throw std::invalid_argument("\\{N* without a byte");
        const char c = decode_one(text, j);
        if (j >= text.size() || text[j] != '}')
            throw std::invalid_argument("\\{N*c without }");
        out.append(std::stoul(count), c);
        i = j + 1;
    }
    return out;
}

std::string ini_cases_dir()
{
    const char *data = std::getenv("KESTRIVAL_TEST_DATA");
    if (data == nullptr || *data == '\0')
        throw std::runtime_error("KESTRIVAL_TEST_DATA is not set; run the tests through ctest");
    return std::string(data) + "/ini-cases";
}

std::vector<ReadCase> load_read_cases(const std::string &dir)
{
    std::vector<ReadCase> cases;
    for (auto &f : load_rows(dir + "/read.tsv", 4))
        cases.push_back({f[0], decode_file(f[1]), decode_escapes(f[2]), f[3]});
    return cases;
}

std::vector<WriteCase> load_write_cases(const std::string &dir)
{
    std::vector<WriteCase> cases;
    for (auto &f : load_rows(dir + "/write.tsv", 4))
        cases.push_back({f[0], decode_file(f[1]), decode_escapes(f[2]), decode_escapes(f[3])});
    return cases;
}

} // namespace kestrival::version::testing
