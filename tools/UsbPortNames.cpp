#include "UsbPortNames.h"

#include <algorithm>

namespace tools {

namespace {

constexpr std::size_t kLongestPortName = 99;  // the ports keep 99 characters and the terminating zero
constexpr const char* kSerialMarker = ";sn:";

struct Selector {
    std::string text;                   // searched for in the identification text
    std::optional<std::string> serial;  // the ";sn:" part
};

bool text_holds(const std::optional<std::string>& text, const std::string& wanted, bool unknownHolds) {
    if (wanted.empty()) return true;
    return text ? text->find(wanted) != std::string::npos : unknownHolds;
}

// Surely taken by the search: everything the name asks is known to hold.
bool surely_matches(const UsbCandidate& printer, const Selector& selector) {
    if (!printer.selectable || !text_holds(printer.text, selector.text, false)) return false;
    return !selector.serial ||
           (printer.serialState == UsbCandidate::Serial::Read && printer.serial == *selector.serial);
}

// Possibly taken: nothing known rules it out.
bool may_match(const UsbCandidate& printer, const Selector& selector) {
    if (!printer.selectable || !text_holds(printer.text, selector.text, true)) return false;
    if (!selector.serial) return true;
    return printer.serialState == UsbCandidate::Serial::Unknown ||
           (printer.serialState == UsbCandidate::Serial::Read && printer.serial == *selector.serial);
}

// The texts a name of `printer` may search for: nothing, each field of its
// identification text, the whole text. None may hold ";sn:", which would end
// the text part of the name.
std::vector<std::string> texts_of(const UsbCandidate& printer) {
    std::vector<std::string> texts{""};
    if (!printer.text) return texts;
    const std::string& text = *printer.text;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) texts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    texts.push_back(text);
    texts.erase(std::remove_if(texts.begin() + 1, texts.end(),
                               [](const std::string& t) { return t.find(kSerialMarker) != std::string::npos; }),
                texts.end());
    return texts;
}

}  // namespace

std::vector<PortNameChoice> ChoosePortNames(const std::string& prefix, const std::vector<UsbCandidate>& printers) {
    std::vector<PortNameChoice> choices(printers.size());
    for (std::size_t p = 0; p < printers.size(); ++p) {
        const UsbCandidate& printer = printers[p];
        if (!printer.selectable) continue;
        std::vector<Selector> selectors;
        for (const std::string& text : texts_of(printer)) {
            selectors.push_back({text, std::nullopt});
            if (printer.serialState == UsbCandidate::Serial::Read) selectors.push_back({text, printer.serial});
        }
        // Shortest first; among equals, the order above (no serial before serial).
        auto name_of = [&](const Selector& s) {
            return prefix + s.text + (s.serial ? kSerialMarker + *s.serial : std::string());
        };
        std::stable_sort(selectors.begin(), selectors.end(),
                         [&](const Selector& a, const Selector& b) { return name_of(a).size() < name_of(b).size(); });
        std::optional<std::string> firstMatch;
        for (const Selector& selector : selectors) {
            const std::string name = name_of(selector);
            if (name.size() > kLongestPortName || !surely_matches(printer, selector)) continue;
            bool earlier = false, other = false;
            for (std::size_t d = 0; d < printers.size(); ++d) {
                if (d == p || !may_match(printers[d], selector)) continue;
                other = true;
                earlier = earlier || d < p;
            }
            if (!other) {
                choices[p] = {name, true};
                break;
            }
            if (!earlier && !firstMatch) firstMatch = name;
        }
        if (choices[p].name.empty() && firstMatch) choices[p] = {*firstMatch, false};
    }
    return choices;
}

}  // namespace tools
