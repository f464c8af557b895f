#include "ini_cases.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace kestrival::version::testing {

namespace {

// Decodes one byte starting at text[i] (plain or escaped) and moves i past it.
char decode_one(std::string_view text, std::size_t &i)
{
    if (text[i] != '\\')
        return text[i++];
    const std::string_view plain = "nrt\\", meant = "\n\r\t\\";
    const char k = text.at(i + 1);
    i += k == 'x' ? 4 : 2;
    if (k == 'x')
        return static_cast<char>(std::stoi(std::string(text.substr(i - 2, 2)), nullptr, 16));
    if (plain.find(k) == std::string_view::npos)
        throw std::runtime_error("unknown escape");
    return meant[plain.find(k)];
}

// \{N*c} is N times the byte c, itself possibly escaped.
std::string decode(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (!text.substr(i).starts_with("\\{")) {
            out += decode_one(text, i);
            continue;
        }
        const std::size_t star = text.find('*', i);
        std::size_t j = star + 1;
        const auto count = std::stoul(std::string(text.substr(i + 2, star - i - 2)));
        out.append(count, decode_one(text, j));
        if (text.at(j) != '}')
            throw std::runtime_error("\\{N*c without }");
        i = j + 1;
    }
    return out;
}

std::optional<std::string> decode_file(const std::string &field)
{
    return field == "<missing>" ? std::nullopt : std::optional(decode(field));
}

// Rows of a table, header dropped, each split into four fields.
std::vector<std::vector<std::string>> load_rows(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (number == 1 || line.empty())
            continue;
        std::vector<std::string> fields(1);
        for (const char c : line) {
            if (c == '\t')
                fields.emplace_back();
            else
                fields.back().push_back(c);
        }
        if (fields.size() < 3 || fields.size() > 4)
            throw std::runtime_error(path + ":" + std::to_string(number) + ": bad column count");
        fields.resize(4);
        rows.push_back(std::move(fields));
    }
    return rows;
}

} // namespace

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
    for (auto &f : load_rows(dir + "/read.tsv"))
        cases.push_back({f[0], decode_file(f[1]), decode(f[2]), f[3]});
    return cases;
}

std::vector<WriteCase> load_write_cases(const std::string &dir)
{
    std::vector<WriteCase> cases;
    for (auto &f : load_rows(dir + "/write.tsv"))
        cases.push_back({f[0], decode_file(f[1]), decode(f[2]), decode(f[3])});
    return cases;
}

std::string utf16(std::u16string_view text, bool big_endian, bool mark)
{
    std::string out = mark ? (big_endian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (const char16_t u : text) {
        const char hi = static_cast<char>(u >> 8);
        const char lo = static_cast<char>(u & 0xFF);
        out += big_endian ? hi : lo;
        out += big_endian ? lo : hi;
    }
    return out;
}

} // namespace kestrival::version::testing
