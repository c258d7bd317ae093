#include "StatusText.h"

#include <cstdio>

namespace tools {

namespace {

struct Flag {
    uint32_t VelmarPrinterStatus_2::*field;
    const char* name;   // the field's name, as in JSON
    const char* words;  // what it means to a person
};

const Flag kConditions[] = {
    {&VelmarPrinterStatus_2::coverOpen, "coverOpen", "cover open"},
    {&VelmarPrinterStatus_2::offline, "offline", "offline"},
    {&VelmarPrinterStatus_2::compulsionSwitch, "compulsionSwitch", "compulsion switch active"},
    {&VelmarPrinterStatus_2::overTemp, "overTemp", "stopped: over temperature"},
    {&VelmarPrinterStatus_2::unrecoverableError, "unrecoverableError", "unrecoverable error"},
    {&VelmarPrinterStatus_2::cutterError, "cutterError", "cutter error"},
    {&VelmarPrinterStatus_2::mechError, "mechError", "mechanical error"},
    {&VelmarPrinterStatus_2::headThermistorError, "headThermistorError", "head thermistor error"},
    {&VelmarPrinterStatus_2::receiveBufferOverflow, "receiveBufferOverflow", "receive buffer overflow"},
    {&VelmarPrinterStatus_2::pageModeCmdError, "pageModeCmdError", "page mode command error"},
    {&VelmarPrinterStatus_2::blackMarkError, "blackMarkError", "black mark error"},
    {&VelmarPrinterStatus_2::presenterPaperJamError, "presenterPaperJamError", "paper jam in the presenter"},
    {&VelmarPrinterStatus_2::headUpError, "headUpError", "print head up"},
    {&VelmarPrinterStatus_2::voltageError, "voltageError", "voltage error"},
    {&VelmarPrinterStatus_2::receiptBlackMarkDetection, "receiptBlackMarkDetection",
     "black mark detected on the receipt paper"},
    {&VelmarPrinterStatus_2::receiptPaperEmpty, "receiptPaperEmpty", "paper out"},
    {&VelmarPrinterStatus_2::receiptPaperNearEmptyInner, "receiptPaperNearEmptyInner", "paper near end (inner sensor)"},
    {&VelmarPrinterStatus_2::receiptPaperNearEmptyOuter, "receiptPaperNearEmptyOuter", "paper near end (outer sensor)"},
    {&VelmarPrinterStatus_2::stackerFull, "stackerFull", "stacker full"},
};

const Flag kSensors[] = {
    {&VelmarPrinterStatus_2::presenterPaperPresent, "presenterPaperPresent", "paper in the presenter"},
    {&VelmarPrinterStatus_2::peelerPaperPresent, "peelerPaperPresent", "paper in the peeler"},
    {&VelmarPrinterStatus_2::slipTOF, "slipTOF", "slip TOF"},
    {&VelmarPrinterStatus_2::slipCOF, "slipCOF", "slip COF"},
    {&VelmarPrinterStatus_2::slipBOF, "slipBOF", "slip BOF"},
    {&VelmarPrinterStatus_2::validationPaperPresent, "validationPaperPresent", "validation paper present"},
    {&VelmarPrinterStatus_2::slipPaperPresent, "slipPaperPresent", "slip paper present"},
};

std::string joined(const std::vector<std::string>& words) {
    if (words.empty()) return "none";
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : ", ") + w;
    return out;
}

template <std::size_t N>
std::vector<std::string> setFlags(const VelmarPrinterStatus_2& status, const Flag (&flags)[N]) {
    std::vector<std::string> words;
    for (const Flag& f : flags)
        if (status.*f.field) words.emplace_back(f.words);
    return words;
}

}  // namespace

std::vector<std::string> statusConditions(const VelmarPrinterStatus_2& status) { return setFlags(status, kConditions); }

std::vector<std::string> statusSensors(const VelmarPrinterStatus_2& status) { return setFlags(status, kSensors); }

std::string rawHex(const VelmarPrinterStatus_2& status) {
    std::string out;
    const uint32_t length = status.rawLength <= sizeof status.raw ? status.rawLength : sizeof status.raw;
    for (uint32_t i = 0; i < length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", status.raw[i]);
        out += (i ? " " : "") + std::string(hex);
    }
    return out;
}

std::string describeStatus(const VelmarPrinterStatus_2& status) {
    std::string out;
    out += "conditions:  " + joined(statusConditions(status)) + "\n";
    out += "sensors:     " + joined(statusSensors(status)) + "\n";
    out += "ETB counter: " + (status.etbAvailable ? std::to_string(status.etbCounter) : std::string("not reported")) +
           "\n";
    out += "presenter:   state " + std::to_string(status.presenterState) + "\n";
    out += "raw status:  " + (status.rawLength ? rawHex(status) : std::string("(none)")) + "\n";
    return out;
}

nlohmann::json statusJson(const VelmarPrinterStatus_2& status) {
    nlohmann::json j;
    for (const Flag& f : kConditions)
        j[f.name] = status.*f.field != 0;
    for (const Flag& f : kSensors)
        j[f.name] = status.*f.field != 0;
    j["etbAvailable"] = status.etbAvailable != 0;
    j["etbCounter"] = status.etbCounter;
    j["presenterState"] = status.presenterState;
    j["rawLength"] = status.rawLength;
    j["raw"] = rawHex(status);
    j["conditions"] = statusConditions(status);
    return j;
}

}  // namespace tools
