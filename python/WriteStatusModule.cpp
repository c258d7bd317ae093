// Writes quenvar/_status_record.py, the Python package's view of the status
// record, from the library's one list of status flags and its public header:
// the ctypes structure the library fills, the offsets the header pins for it,
// the flags under their Python names with the quenvar command's words, and
// the frozen dataclass fields. Run at build time, so the package never keeps
// a copy of the list of its own.
//   write-status-module <output file>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <string>

#include "core/StatusFlags.h"
#include "quenvar.h"

namespace {

// coverOpen -> cover_open, slipTOF -> slip_tof, receiptPaperNearEmptyInner ->
// receipt_paper_near_empty_inner: a word begins at a capital that follows a
// small letter or that starts a capitalised word after a run of capitals.
std::string snakeCase(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (std::isupper(c) && i > 0) {
            const unsigned char before = static_cast<unsigned char>(name[i - 1]);
            const bool nextIsSmall = i + 1 < name.size() && std::islower(static_cast<unsigned char>(name[i + 1]));
            if (std::islower(before) || std::isdigit(before) || (std::isupper(before) && nextIsSmall)) out += '_';
        }
        out += static_cast<char>(std::tolower(c));
    }
    return out;
}

// A Python string literal holding `text`.
std::string quoted(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        if (*p == '"' || *p == '\\') out += '\\';
        out += *p;
    }
    return out + "\"";
}

const char* roleName(quenvar::StatusFlagRole role) {
    switch (role) {
    case quenvar::StatusFlagRole::Condition:
        return "condition";
    case quenvar::StatusFlagRole::Sensor:
        return "sensor";
    case quenvar::StatusFlagRole::EtbValid:
        return "etb";
    }
    return "unknown";
}

void writeModule(std::FILE* out) {
    std::fputs(
        "# Generated at build time from the library's list of status flags and its\n"
        "# public header (python/WriteStatusModule.cpp). Not edited by hand.\n"
        "\"\"\"The status record as libQuenvar fills it, and the flags by their Python names.\"\"\"\n\n"
        "import ctypes\n"
        "import dataclasses\n\n",
        out);
    std::fprintf(out, "RECORD_VERSION = 2\nRECORD_SIZE = %zu\n", sizeof(VelmarPrinterStatus_2));
    std::fprintf(out, "RAW_CAPACITY = %zu\n", sizeof(VelmarPrinterStatus_2::raw));
    std::fprintf(out, "CHECKED_BLOCK_TIMEOUT_FACTOR = %u\nCHECKED_BLOCK_MIN_BOUND_MS = %u\n\n",
                 QUENVAR_CHECKED_BLOCK_TIMEOUT_FACTOR, QUENVAR_CHECKED_BLOCK_MIN_BOUND_MS);

    std::fputs(
        "# (Python name, record field, role, what the quenvar command says while it is set)\n"
        "FLAGS = (\n",
        out);
    for (const quenvar::StatusFlag& flag : quenvar::StatusFlags)
        std::fprintf(out, "    (%s, %s, %s, %s),\n", quoted(snakeCase(flag.name).c_str()).c_str(),
                     quoted(flag.name).c_str(), quoted(roleName(flag.role)).c_str(), quoted(flag.words).c_str());
    std::fputs(")\n\n\n", out);

    std::fputs(
        "class Record(ctypes.Structure):\n"
        "    \"\"\"VelmarPrinterStatus_2: the record of version 2 that the status calls fill.\"\"\"\n\n"
        "    _fields_ = [\n",
        out);
    for (const quenvar::StatusFlag& flag : quenvar::StatusFlags)
        std::fprintf(out, "        (%s, ctypes.c_uint32),\n", quoted(flag.name).c_str());
    std::fputs(
        "        (\"etbCounter\", ctypes.c_uint8),\n"
        "        (\"presenterState\", ctypes.c_uint8),\n"
        "        (\"padding\", ctypes.c_uint8 * 2),\n"
        "        (\"rawLength\", ctypes.c_uint32),\n"
        "        (\"raw\", ctypes.c_uint8 * RAW_CAPACITY),\n"
        "    ]\n\n\n",
        out);

    std::fputs(
        "# Where the header places each field; Record must agree (checked on import).\n"
        "RECORD_OFFSETS = {\n",
        out);
    for (const quenvar::StatusFlag& flag : quenvar::StatusFlags)
        std::fprintf(out, "    %s: %zu,\n", quoted(flag.name).c_str(), flag.recordOffset);
    std::fprintf(out, "    \"etbCounter\": %zu,\n", offsetof(VelmarPrinterStatus_2, etbCounter));
    std::fprintf(out, "    \"presenterState\": %zu,\n", offsetof(VelmarPrinterStatus_2, presenterState));
    std::fprintf(out, "    \"rawLength\": %zu,\n", offsetof(VelmarPrinterStatus_2, rawLength));
    std::fprintf(out, "    \"raw\": %zu,\n}\n\n\n", offsetof(VelmarPrinterStatus_2, raw));

    std::fputs(
        "@dataclasses.dataclass(frozen=True)\n"
        "class StatusFields:\n"
        "    \"\"\"Every field of the printer's status, by its Python name.\"\"\"\n\n",
        out);
    for (const quenvar::StatusFlag& flag : quenvar::StatusFlags)
        std::fprintf(out, "    %s: bool = False  # %s\n", snakeCase(flag.name).c_str(), flag.words);
    std::fputs(
        "    etb_counter: int = 0  # the printer's ETB counter, 0 to 31, valid when etb_available\n"
        "    presenter_state: int = 0  # the presenter's state, 0 to 7\n"
        "    raw: bytes = b\"\"  # the status bytes as the printer sent them\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    writeModule(out);
    return std::fclose(out) == 0 ? 0 : 1;
}
