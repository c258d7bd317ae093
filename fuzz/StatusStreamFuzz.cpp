// The stream parser on its own, fuzzed without sockets or clocks: whatever
// bytes a printer sends, however the network cuts them into pieces, the
// parser must find the same data, status frames, payloads and answers. The
// first input byte gives the number of cuts (0 to 7), the next bytes where they
// fall; the rest is the stream. Each input is fed whole, in those pieces, and
// byte by byte; any difference, or anything malformed handed out, traps.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/CompletionCommands.h"
#include "core/StatusDecoders.h"
#include "core/StatusStreamParser.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Event {
    char kind;  // 'd' data, 'f' frame, 'a' answer
    Bytes bytes;
    Bytes payload;
    bool operator==(const Event& other) const {
        return kind == other.kind && bytes == other.bytes && payload == other.payload;
    }
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Records what the parser hands out, adjacent data runs joined: where the
// pieces cut a run of data is not part of the result.
class Recorder : public quenvar::StatusStreamSink {
public:
    std::vector<Event> events;

    void data(const unsigned char* bytes, std::size_t count) override {
        check(count > 0);
        if (events.empty() || events.back().kind != 'd') events.push_back(Event{'d', {}, {}});
        events.back().bytes.insert(events.back().bytes.end(), bytes, bytes + count);
    }
    void statusFrame(const unsigned char* block, unsigned int length, const unsigned char* payload,
                     std::size_t payloadCount) override {
        check(length >= 7 && length <= 15);
        check(quenvar::IsVelmarAsbHead(block, 7));
        check(static_cast<unsigned int>(CalculateStatusLength(block[0])) == length);
        check(payloadCount == 0 || payload != nullptr);
        events.push_back(Event{'f', Bytes(block, block + length), Bytes(payload, payload + payloadCount)});
    }
    void completionAnswer(const unsigned char* answer) override {
        unsigned char value = 0;
        check(quenvar::FindJobBeginAnswer(answer, 8, &value) || quenvar::FindJobEndAnswer(answer, 8, &value));
        events.push_back(Event{'a', Bytes(answer, answer + 8), {}});
    }
};

std::vector<Event> parse(const uint8_t* data, size_t size, const std::vector<size_t>& cuts) {
    quenvar::StatusStreamParser parser;
    Recorder recorder;
    size_t at = 0;
    for (size_t cut : cuts) {
        if (cut < at) continue;
        parser.feed(data + at, cut - at, recorder);
        // A frame begun always needs more bytes; nothing else does.
        check((parser.held() == quenvar::StatusStreamParser::Held::Frame) == (parser.frameBytesNeeded() > 0));
        at = cut;
    }
    parser.feed(data + at, size - at, recorder);
    parser.finish(recorder);
    check(parser.held() == quenvar::StatusStreamParser::Held::Nothing);
    return recorder.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t cutCount = data[0] % 8;
    if (size < 1 + cutCount) return 0;
    const uint8_t* stream = data + 1 + cutCount;
    const size_t length = size - 1 - cutCount;

    std::vector<size_t> cuts;
    for (size_t i = 0; i < cutCount; ++i)
        cuts.push_back(length == 0 ? 0 : data[1 + i] % (length + 1));
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < length; ++i)
        everyByte.push_back(i);

    const std::vector<Event> whole = parse(stream, length, {});
    check(parse(stream, length, cuts) == whole);
    check(parse(stream, length, everyByte) == whole);

    // Nothing is invented or reordered: data, answers and frame blocks are
    // bytes of the stream in the order they came.
    size_t at = 0;
    for (const Event& event : whole) {
        for (unsigned char byte : event.bytes) {
            while (at < length && stream[at] != byte)
                ++at;
            check(at < length);
            ++at;
        }
    }
    return 0;
}
