// The stream parser: what each kind of byte run becomes. That any cut of the
// stream gives the same result is the fuzz target's job (fuzz/).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/StatusStreamParser.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Held = quenvar::StatusStreamParser::Held;
using namespace std::string_literals;

// Every event as text: "d:<bytes>", "f<length>:<payload>", "a:<value>".
class Recorder : public quenvar::StatusStreamSink {
public:
    std::vector<std::string> events;
    void data(const unsigned char* bytes, std::size_t count) override {
        events.push_back("d:" + std::string(bytes, bytes + count));
    }
    void statusFrame(const unsigned char*, unsigned int length, const unsigned char* payload,
                     std::size_t count) override {
        events.push_back("f" + std::to_string(length) + ":" + std::string(payload, payload + count));
    }
    void completionAnswer(const unsigned char* answer) override { events.push_back("a:" + std::to_string(answer[6])); }
};

Bytes B(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
Bytes T(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A 9-byte block (header 0x23) with its extension of `extension` bytes.
Bytes Frame(const Bytes& extension = {}) {
    return B({{0x23, 0x80, 0, 0, 0, 0, 0, 0, 0},
              {static_cast<unsigned char>(extension.size() >> 8), static_cast<unsigned char>(extension.size())},
              extension});
}

}  // namespace

TEST(StatusStreamParser, EachRunBecomesWhatItIs) {
    struct Case {
        const char* what;
        Bytes stream;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"data alone", T("abc"), {"d:abc"}},
        {"frame between data", B({T("ab"), Frame(), T("cd")}), {"d:ab", "f9:", "d:cd"}},
        {"payload at byte 5 (14)", Frame(B({T("14"), {0, 0, 0}, {0, 3}, T("xyz")})), {"f9:xyz"}},
        {"payload at byte 4 (01), bytes after it ignored", Frame(B({T("01"), {0, 0}, {0, 2}, T("pqrs")})), {"f9:pq"}},
        {"payload length past the block is cut", Frame(B({T("10"), {0, 0, 0, 0}, {0, 200}, T("cut")})), {"f9:cut"}},
        {"unknown identifier carries nothing", Frame(B({T("ZZ"), {0, 0}, {0, 1}, T("x")})), {"f9:"}},
        {"head with an unknown length byte is data", {0x01, 0x80, 0, 0, 0, 0, 0}, {"d:\x01\x80\0\0\0\0\0"s}},
        {"job begin and job end answers",
         B({{0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00}, {0x1B, 0x1D, 0x03, 0x01, 0x01, 0x01, 0x01, 0x00}}),
         {"a:5", "a:1"}},
        {"near answers are data", {0x1B, 0x1D, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00}, {"d:\x1B\x1D\x03\x01\0\0\0\0"s}},
    };
    for (const Case& c : cases) {
        quenvar::StatusStreamParser parser;
        Recorder recorder;
        parser.feed(c.stream.data(), c.stream.size(), recorder);
        parser.finish(recorder);
        EXPECT_EQ(recorder.events, c.events) << c.what;
    }
}

TEST(StatusStreamParser, BeginningsAreHeldUntilTheStreamSaysWhatTheyAre) {
    quenvar::StatusStreamParser parser;
    Recorder recorder;
    const Bytes head = {0x23, 0x80, 0x20};
    parser.feed(B({T("data"), head}).data(), 7, recorder);
    EXPECT_EQ(parser.held(), Held::Prefix);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"d:data"});
    // A pause: the beginning was data after all.
    parser.flush(recorder);
    EXPECT_EQ(parser.held(), Held::Nothing);
    EXPECT_EQ(recorder.events.back(), std::string("d:\x23\x80\x20"));

    // A head that came whole waits for the rest of its frame, even over a
    // pause; the stream's end drops it.
    const Bytes frame = Frame();
    parser.feed(frame.data(), 8, recorder);
    parser.flush(recorder);
    EXPECT_EQ(parser.held(), Held::Frame);
    EXPECT_EQ(parser.frameBytesNeeded(), 3u);  // the block's last byte and the extension length
    parser.finish(recorder);
    EXPECT_EQ(parser.held(), Held::Nothing);
    EXPECT_EQ(recorder.events.size(), 2u);
}
