// The printer status in words for people and as JSON for programs.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "quenvar.h"

namespace tools {

// Conditions that keep the printer from printing or need attention, in plain
// words ("cover open", "paper out", ...), in the order of the status record.
std::vector<std::string> statusConditions(const VelmarPrinterStatus_2& status);

// What the paper sensors of presenter, peeler, stacker, slip and validation
// report; a receipt-only printer reports its slip sensors as empty paths.
std::vector<std::string> statusSensors(const VelmarPrinterStatus_2& status);

// The raw status bytes as hex, "23 80 00 ...".
std::string rawHex(const VelmarPrinterStatus_2& status);

// A multi-line description: conditions, sensors, ETB counter, raw bytes.
std::string describeStatus(const VelmarPrinterStatus_2& status);

// Every field by its name, plus "conditions" and "raw" (hex).
nlohmann::json statusJson(const VelmarPrinterStatus_2& status);

}  // namespace tools
