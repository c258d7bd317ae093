// The port name that selects a USB printer. The library's search takes the
// first printer, in bus and device order, whose identification text holds the
// name's text and whose serial number equals the name's ";sn:" part; so a
// name is right for a printer only when no printer before it matches too, and
// it stays right when printers are plugged in later only if no other printer
// present matches it at all.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tools {

// What the listing knows of one printer of a route.
struct UsbCandidate {
    // The library's search can take it at all: it opens and answers its
    // identification request (as far as the listing could tell).
    bool selectable = false;
    // Its identification text; none when unknown (the interface was held, so
    // it was not asked): then every text is taken to possibly match.
    std::optional<std::string> text;
    enum class Serial {
        Read,     // `serial` holds the 8 characters the library compares
        None,     // no ";sn:" name can match it
        Unknown,  // not read: every ";sn:" name may match it
    };
    Serial serialState = Serial::None;
    std::string serial;
};

struct PortNameChoice {
    std::string name;    // the whole port name; empty when no name selects the printer
    bool alone = false;  // no other printer present matches it
};

// prefix: "usbven:" or "usbprn:". printers: in, the route's printers in the
// library's search order. For each, the shortest name of the prefix and
// nothing, a field of its identification text ("MDL:QV-U100", the text between
// two semicolons) or the whole text, optionally with ";sn:" and its serial
// number, that matches it and no other printer; when there is none, the
// shortest that selects it because every other printer it matches comes
// later; when there is none either, an empty name. Names longer than the 99
// characters a port name may have are never chosen.
std::vector<PortNameChoice> ChoosePortNames(const std::string& prefix, const std::vector<UsbCandidate>& printers);

}  // namespace tools
