#include "scratch_dir.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version::testing {

namespace {

constexpr int kOpenDirsWhileRemoving = 16;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

} // namespace

ScratchDir::ScratchDir(const std::string &parent)
{
    std::string pattern = parent + "/kestrival-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed under " + parent);
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    ::chmod(path_.c_str(), 0700);
    ::nftw(path_.c_str(), remove_entry, kOpenDirsWhileRemoving, FTW_DEPTH | FTW_PHYS);
}

WorkingDir::WorkingDir(const std::string &dir) : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (previous_ < 0 || ::chdir(dir.c_str()) != 0)
        throw std::runtime_error("can't change to " + dir);
}

WorkingDir::~WorkingDir()
{
    if (::fchdir(previous_) != 0)
        std::abort();
    ::close(previous_);
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("can't write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (const dirent *entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace kestrival::version::testing
