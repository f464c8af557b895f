// Writes every file of the INI case tables into a folder, as a fuzzing seed corpus.
#include "ini_cases.h"

#include <exception>
#include <fstream>
#include <iostream>

int main(int argc, char **argv)
{
    using namespace kestrival::version::testing;
    if (argc != 3) {
        std::cerr << "usage: make_seeds <ini-cases folder> <output folder>\n";
        return 2;
    }
    const auto write = [&](const std::string &name, const std::string &bytes) {
        if (!(std::ofstream(std::string(argv[2]) + "/" + name, std::ios::binary) << bytes))
            throw std::runtime_error("cannot write " + name);
    };
    try {
        for (const auto &c : load_read_cases(argv[1]))
            write("read-" + c.name, c.file.value_or(""));
        for (const auto &c : load_write_cases(argv[1])) {
            if (c.before)
                write("before-" + c.name, *c.before);
            write("after-" + c.name, c.after);
        }
    } catch (const std::exception &e) {
        std::cerr << "make_seeds: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
