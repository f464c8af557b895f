// Scratch directories and working-directory changes for tests that touch the file system.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kestrival::version::testing {

// A fresh directory from mkdtemp under `parent`, removed with all its content at destruction.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &parent = "/tmp");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Changes the working directory for its lifetime and restores the previous one.
class WorkingDir {
public:
    explicit WorkingDir(const std::string &dir) { std::filesystem::current_path(dir); }
    ~WorkingDir() { std::filesystem::current_path(previous_); }
    WorkingDir(const WorkingDir &) = delete;
    WorkingDir &operator=(const WorkingDir &) = delete;

private:
    std::filesystem::path previous_ = std::filesystem::current_path();
};

void write_file(const std::string &path, const std::string &bytes);
// The whole file; a missing one reads as "<missing>".
std::string read_file(const std::string &path);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string &dir);

} // namespace kestrival::version::testing
