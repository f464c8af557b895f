#include "scratch_dir.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrival::version::testing {

ScratchDir::ScratchDir(const std::string &parent) : path_(parent + "/kestrival-test-XXXXXX")
{
    if (::mkdtemp(path_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed under " + parent);
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &bytes)
{
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes))
        throw std::runtime_error("can't write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return in ? bytes.str() : "<missing>";
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace kestrival::version::testing
