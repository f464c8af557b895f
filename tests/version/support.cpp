#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kestrival::version::testing {

namespace {

// Decodes one byte starting at text[i] (plain or escaped) and moves i past it.
char decode_one(std::string_view text, std::size_t &i)
{
    const char k = text[i] == '\\' ? text.at(i + 1) : 0;
    i += k == 0 ? 1 : k == 'x' ? 4 : 2;
    if (k == 'x')
        return static_cast<char>(std::stoi(std::string(text.substr(i - 2, 2)), nullptr, 16));
    const std::size_t known = std::string_view("nrt\\").find(k);
    if (k != 0 && known == std::string_view::npos)
        throw std::runtime_error("unknown escape");
    return k == 0 ? text[i - 1] : "\n\r\t\\"[known];
}

// \{N*c} is N times the byte c, itself possibly escaped.
std::string decode(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t star = text.substr(i).starts_with("\\{") ? text.find('*', i) : std::string_view::npos;
        if (star == std::string_view::npos) {
            out += decode_one(text, i);
            continue;
        }
        std::size_t j = star + 1;
        out.append(std::stoul(std::string(text.substr(i + 2, star - i - 2))), decode_one(text, j));
        i = j + 1;
    }
    return out;
}

} // namespace

std::string utf8(const std::filesystem::path &path)
{
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

std::filesystem::path native(const std::string &utf8_path) { return std::u8string(utf8_path.begin(), utf8_path.end()); }

ScratchDir::ScratchDir(const std::string &parent)
{
    const std::filesystem::path under = parent.empty() ? std::filesystem::temp_directory_path() : native(parent);
    std::random_device random;
    for (int tries = 0; path_.empty(); ++tries) {
        const std::filesystem::path candidate = under / ("kestrival-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate))
            path_ = utf8(candidate);
        else if (tries == 100)
            throw std::runtime_error("can't make a folder under " + utf8(under));
    }
}

void write_file(const std::string &path, const std::string &bytes)
{
    if (!(std::ofstream(native(path), std::ios::binary | std::ios::trunc) << bytes))
        throw std::runtime_error("can't write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(native(path), std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

std::set<std::string> list_dir(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(native(dir)))
        names.insert(utf8(entry.path().filename()));
    return names;
}

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name << " " << ::testing::PrintToString(row.file.value_or("<missing>"));
}

std::vector<Row> load_rows(const std::vector<std::string> &tables, std::string dir)
{
    if (dir.empty()) {
        const char *data = std::getenv("KESTRIVAL_TEST_DATA");
        if (data == nullptr)
            throw std::runtime_error("KESTRIVAL_TEST_DATA is not set; run the tests through ctest");
        dir = data;
    }
    std::vector<Row> rows;
    for (const std::string &table : tables) {
        std::ifstream in(native(dir + "/" + table), std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + dir + "/" + table);
        std::string line;
        std::getline(in, line); // the header
        while (std::getline(in, line)) {
            if (line.empty())
                continue;
            std::vector<std::string> f(1);
            for (const char c : line)
                c == '\t' ? (void)f.emplace_back() : f.back().push_back(c);
            f.resize(4);
            rows.push_back(
                {f[0], f[1] == "<missing>" ? std::nullopt : std::optional(decode(f[1])), decode(f[2]), decode(f[3])});
        }
    }
    return rows;
}

} // namespace kestrival::version::testing
