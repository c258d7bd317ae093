// The port name chosen for each USB printer of a route, from what the listing
// knows of the printers in search order.
#include <gtest/gtest.h>

#include "UsbPortNames.h"

namespace {

using tools::UsbCandidate;
using Serial = UsbCandidate::Serial;

UsbCandidate printer(std::optional<std::string> text, Serial state, std::string serial = "", bool selectable = true) {
    return {selectable, std::move(text), state, std::move(serial)};
}

TEST(UsbPortNames, ShortestNameThatSelectsThePrinter) {
    const std::string text = "MFG:Velmar;MDL:QV-U100;";
    const std::string longText(95, 'a');
    struct Case {
        const char* what;
        std::vector<UsbCandidate> printers;
        std::vector<std::string> names;  // "" none; a trailing "*": it matches later printers too
    } cases[] = {
        {"the only printer", {printer(text, Serial::Read, "SN000001")}, {"usbven:"}},
        {"one the search passes by",
         {printer(std::nullopt, Serial::Unknown, "", false), printer(text, Serial::None)},
         {"", "usbven:"}},
        {"a field of its own",
         {printer(text, Serial::None), printer("MFG:Velmar;MDL:QV-U200;", Serial::None)},
         {"usbven:MDL:QV-U100", "usbven:MDL:QV-U200"}},
        {"shared text, serial numbers differ",
         {printer(text, Serial::Read, "SN000001"), printer(text, Serial::Read, "SN000002")},
         {"usbven:;sn:SN000001", "usbven:;sn:SN000002"}},
        {"shared text and serial number",
         {printer(text, Serial::Read, "SN000001"), printer(text, Serial::Read, "SN000001")},
         {"usbven:*", ""}},
        {"text unknown before it: only the serial number tells",
         {printer(std::nullopt, Serial::Read, "SN000001"), printer(text, Serial::Read, "SN000002")},
         {"usbven:;sn:SN000001", "usbven:;sn:SN000002"}},
        {"serial number unknown before it: nothing tells",
         {printer(std::nullopt, Serial::Unknown), printer(text, Serial::Read, "SN000002")},
         {"usbven:*", ""}},
        {"a name over 99 characters is never offered",
         {printer("b", Serial::None), printer(longText, Serial::None)},
         {"usbven:b", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<tools::PortNameChoice> choices = tools::ChoosePortNames("usbven:", c.printers);
        ASSERT_EQ(choices.size(), c.names.size());
        for (std::size_t i = 0; i < choices.size(); ++i) {
            const std::string shown = choices[i].name + (!choices[i].name.empty() && !choices[i].alone ? "*" : "");
            EXPECT_EQ(shown, c.names[i]) << "printer " << i;
        }
    }
}

}  // namespace
