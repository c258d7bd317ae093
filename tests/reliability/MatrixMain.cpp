// reliability_matrix: runs the fault matrix of every transport in this build,
// checks every cell, writes the reliability document, and compares its lasting
// parts with the committed docs/reliability.md.
//   reliability_matrix OUT COMMITTED   writes OUT, fails when a cell breaks a
//                                      promise or COMMITTED says otherwise
//   reliability_matrix --write DOC     writes DOC (make reliability-doc)
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Transports.h"

namespace {

// Cells run at once, each with a printer of its own: the matrix takes about
// as long as its slowest cells. Under ThreadSanitizer every call is several
// times slower, and more than a few cells at once on a small machine push
// replies past the 100 ms time limits of the serial and USB tables.
#if defined(__SANITIZE_THREAD__)
constexpr unsigned kParallelCells = 3;
#else
constexpr unsigned kParallelCells = 24;
#endif

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    const bool writeOnly = argc == 3 && std::strcmp(argv[1], "--write") == 0;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT COMMITTED | --write DOC\n", argv[0]);
        return 2;
    }
    const std::vector<reliability::TransportTable> tables = reliability::AllMatrixTables();
    const std::vector<reliability::TableRun> runs = reliability::RunMatrix(tables, kParallelCells);
    int broken = 0;
    for (const reliability::TableRun& run : runs)
        for (std::size_t c = 0; c < run.cells.size(); ++c)
            for (const std::string& v : run.cells[c].violations) {
                std::cout << run.table->name << " / " << reliability::FaultName(run.table->cells[c].fault) << ": " << v
                          << "\n";
                ++broken;
            }

    const std::string doc = reliability::RenderReliabilityDoc(runs);
    const std::string out = writeOnly ? argv[2] : argv[1];
    std::ofstream(out, std::ios::binary) << doc;
    std::cout << doc;
    if (broken > 0) {
        std::cout << broken << " promises broken\n";
        return 1;
    }
    if (!writeOnly && reliability::StableParts(ReadFile(argv[2])) != reliability::StableParts(doc)) {
        std::cout << "docs/reliability.md no longer says what the run shows: make reliability-doc writes it again\n";
        return 1;
    }
    return 0;
}
