#include "StatusText.h"

#include <cstdio>

#include "core/StatusFlags.h"

namespace tools {

namespace {

std::string joined(const std::vector<std::string>& words) {
    if (words.empty()) return "none";
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : ", ") + w;
    return out;
}

// The words of the flags of `role` that are set, in record order.
std::vector<std::string> setFlags(const VelmarPrinterStatus_2& status, quenvar::StatusFlagRole role) {
    std::vector<std::string> words;
    for (const quenvar::StatusFlag& flag : quenvar::StatusFlags)
        if (flag.role == role && status.*flag.member) words.emplace_back(flag.words);
    return words;
}

}  // namespace

std::vector<std::string> statusConditions(const VelmarPrinterStatus_2& status) {
    return setFlags(status, quenvar::StatusFlagRole::Condition);
}

std::vector<std::string> statusSensors(const VelmarPrinterStatus_2& status) {
    return setFlags(status, quenvar::StatusFlagRole::Sensor);
}

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
    for (const quenvar::StatusFlag& flag : quenvar::StatusFlags)
        j[flag.name] = status.*flag.member != 0;
    j["etbCounter"] = status.etbCounter;
    j["presenterState"] = status.presenterState;
    j["rawLength"] = status.rawLength;
    j["raw"] = rawHex(status);
    j["conditions"] = statusConditions(status);
    return j;
}

}  // namespace tools
