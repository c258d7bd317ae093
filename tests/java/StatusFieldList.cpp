// Writes the fields the Java bridge looks up in a status object, one
// "name descriptor" line each in the bridge's order, for StatusFieldsTest to
// hold PrinterStatus against.
#include <cstdio>

#include "java/StatusFieldTable.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) return 1;
    for (const halvorn::StatusField& field : halvorn::kStatusFields)
        std::fprintf(out, "%s %s\n", field.name, field.descriptor);
    return std::fclose(out) == 0 ? 0 : 1;
}
