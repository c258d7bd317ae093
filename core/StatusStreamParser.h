// Takes apart the byte stream a printer sends back: its reply data, the Velmar
// ASB status frames it mixes in on its own (with their extension blocks), and
// the answers to the completion commands. Bytes go in as they arrive, in
// pieces of any size; what they make up comes out in order, the same however
// the stream was cut into pieces. No sockets, no clock: the port decides when
// a pause in the stream means that bytes held back were data after all.
#pragma once

#include <cstddef>
#include <vector>

namespace quenvar {

constexpr unsigned int VelmarAsbHeadLength = 7;  // first bytes of every Velmar ASB block

// data: in, `length` bytes. True when they are exactly the 7-byte head of a
// Velmar ASB block as a printer mixes it into its data (b0 & 11 = 01,
// b1 & 91 = 80, b2..b6 & 91 = 00). The length byte itself is not checked.
bool IsVelmarAsbHead(const unsigned char* data, unsigned int length);

// block: in, an extension block of `length` bytes. Finds the payload a status
// frame carries for the host: `*offset` and `*count` get where it lies in the
// block, cut to the bytes the block holds. False (outputs untouched) when the
// block's identifier carries no payload or the block is too short to say.
bool FindExtensionPayload(const unsigned char* block, std::size_t length, std::size_t* offset, std::size_t* count);

// Receives what the parser finds, in stream order.
class StatusStreamSink {
public:
    virtual ~StatusStreamSink() = default;
    // bytes: in, `count` (> 0) bytes of the printer's data.
    virtual void data(const unsigned char* bytes, std::size_t count) = 0;
    // block: in, a whole Velmar ASB block of `length` (7 to 15) bytes, as for
    // BuildParsedStatus. payload: in, the `payloadCount` bytes its extension
    // block carries for the host (0 when none).
    virtual void statusFrame(const unsigned char* block, unsigned int length, const unsigned char* payload,
                             std::size_t payloadCount) = 0;
    // answer: in, the 8 bytes of a job begin answer (1B 1D 03 00 00 00 c 00)
    // or a job end answer (1B 1D 03 k 01 01 c 00).
    virtual void completionAnswer(const unsigned char* answer) = 0;
};

class StatusStreamParser {
public:
    // What the parser keeps back from the sink at the end of the bytes so far.
    enum class Held {
        Nothing,  // everything fed has been handed out
        Prefix,   // a few bytes that may begin a frame or an answer; data if nothing follows
        Frame,    // a frame whose head has come but not all of its bytes
    };

    // bytes: in, the next `count` bytes of the stream. Hands out to `sink`
    // everything they complete. A head whose length byte is unknown is data;
    // an extension whose identifier is unknown is dropped with its frame's
    // other bytes.
    void feed(const unsigned char* bytes, std::size_t count, StatusStreamSink& sink);
    // The stream has paused (or ended): bytes held as a possible beginning go
    // to `sink` as data. A frame begun stays held.
    void flush(StatusStreamSink& sink);
    // The stream ended for good: as flush, and a frame cut short is dropped.
    void finish(StatusStreamSink& sink);
    Held held() const;
    // How many more bytes the frame begun needs at least (0 when none is
    // begun): a receive of no more than this never reads past its end.
    std::size_t frameBytesNeeded() const;

private:
    enum class State { Scan, Block, ExtensionLength, Extension };

    // Scans `count` bytes for frames and answers and hands out what comes
    // before. Returns how many it took: all of them (a possible beginning at
    // the end is held), or up to the end of a frame head it found.
    std::size_t scan(const unsigned char* bytes, std::size_t count, StatusStreamSink& sink);
    // Takes bytes of the frame begun; returns how many of `count` it used.
    std::size_t takeFrameBytes(const unsigned char* bytes, std::size_t count, StatusStreamSink& sink);
    void emitFrame(StatusStreamSink& sink);

    State state_ = State::Scan;
    std::vector<unsigned char> prefix_;  // held bytes that may begin a frame or an answer
    unsigned char block_[15] = {};       // the Velmar ASB block being read
    unsigned int blockLength_ = 0;       // its length from the length byte
    unsigned int blockHave_ = 0;         // its bytes so far
    unsigned char extensionLength_[2] = {};
    unsigned int extensionLengthHave_ = 0;
    std::vector<unsigned char> extension_;  // the extension block being read
    std::size_t extensionWanted_ = 0;
};

}  // namespace quenvar
