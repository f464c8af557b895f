// Writes every file of the INI case tables into a fresh folder, as a fuzzing seed corpus.
#include "support.h"

#include <fstream>
#include <iostream>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: make_seeds <test data folder> <corpus folder>\n";
        return 2;
    }
    std::filesystem::remove_all(argv[2]);
    std::filesystem::create_directories(argv[2]);
    const auto rows = kestrival::version::testing::load_rows(
        {"ini-cases/read.tsv", "ini-cases/read-own.tsv", "ini-cases/write.tsv", "ini-cases/write-own.tsv"}, argv[1]);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::ofstream(std::string(argv[2]) + "/" + std::to_string(i), std::ios::binary) << rows[i].file.value_or("");
    }
    return 0;
}
