// The serial settings string, any text: opening never reads past it, and a
// line that opens is set to one of the seven rates and to 7 or 8 data bits.
#include <termios.h>

#include <cstdint>
#include <string>

#include "FuzzChecks.h"
#include "ScriptedSerialLine.h"
#include "quenvar.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::shared_ptr<ScriptedSerialLine> line = ScriptedSerialLine::Make();
    g_flushedLine = line.get();
    line->start({});
    // Exactly the input, up to its first zero byte, as the C string a caller passes.
    const std::string settings(reinterpret_cast<const char*>(data), size);
    void* port = OpenPort(line->name().c_str(), settings.c_str(), 100);
    if (port == nullptr) return 0;
    termios line_settings{};
    Check(tcgetattr(line->master(), &line_settings) == 0);
    const speed_t speed = cfgetospeed(&line_settings);
    Check(speed == B2400 || speed == B4800 || speed == B9600 || speed == B19200 || speed == B38400 || speed == B57600 ||
          speed == B115200);
    Check((line_settings.c_cflag & CSIZE) == CS7 || (line_settings.c_cflag & CSIZE) == CS8);
    ClosePort(port);
    return 0;
}
