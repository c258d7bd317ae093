#include "core/StatusStreamParser.h"

#include <algorithm>

#include "core/CompletionCommands.h"
#include "core/StatusDecoders.h"

namespace quenvar {

namespace {

constexpr std::size_t kAnswerLength = CompletionAnswerLength;
constexpr unsigned char kEsc = 0x1B;

// What the bytes at a position of the stream begin.
enum class Start {
    Nothing,  // the first byte is data
    Partial,  // all bytes there are agree with a frame head or an answer, but more are needed
    Head,     // the 7-byte head of a Velmar ASB block with a known length
    Answer,   // a whole job begin or job end answer
};

// p: in, the `n` (> 0) bytes from a position of the stream to its end so far.
Start classify(const unsigned char* p, std::size_t n) {
    if (CalculateStatusLength(p[0]) != 0) {
        const std::size_t m = std::min<std::size_t>(n, VelmarAsbHeadLength);
        if (m > 1 && (p[1] & 0x91) != 0x80) return Start::Nothing;
        for (std::size_t i = 2; i < m; ++i)
            if ((p[i] & 0x91) != 0x00) return Start::Nothing;
        return n >= VelmarAsbHeadLength ? Start::Head : Start::Partial;
    }
    if (p[0] != kEsc) return Start::Nothing;
    // Job begin answer 1B 1D 03 00 00 00 c 00, job end answer 1B 1D 03 k 01 01 c 00.
    const std::size_t m = std::min(n, kAnswerLength);
    if (m > 1 && p[1] != 0x1D) return Start::Nothing;
    if (m > 2 && p[2] != 0x03) return Start::Nothing;
    if (m > 4 && p[4] != 0x00 && p[4] != 0x01) return Start::Nothing;
    if (m > 4 && p[4] == 0x00 && p[3] != 0x00) return Start::Nothing;
    if (m > 5 && p[5] != p[4]) return Start::Nothing;
    if (m > 7 && p[7] != 0x00) return Start::Nothing;
    return n >= kAnswerLength ? Start::Answer : Start::Partial;
}

// Where an extension block keeps its payload length, by its identifier; 0 for
// blocks that carry nothing for the host.
std::size_t payload_length_position(const unsigned char* identifier) {
    static const char* const at4[] = {"01", "02", "11", "16", "19", "50", "B0", "B1", "B2", "FF"};
    static const char* const at6[] = {"10", "12", "13", "15", "17", "18", "21",
                                      "22", "23", "24", "51", "61", "62", "A0"};
    const auto is = [identifier](const char* id) { return identifier[0] == id[0] && identifier[1] == id[1]; };
    for (const char* id : at4)
        if (is(id)) return 4;
    if (is("14")) return 5;
    for (const char* id : at6)
        if (is(id)) return 6;
    return 0;
}

}  // namespace

bool IsVelmarAsbHead(const unsigned char* data, unsigned int length) {
    if (length != VelmarAsbHeadLength) return false;
    if ((data[0] & 0x11) != 0x01 || (data[1] & 0x91) != 0x80) return false;
    for (unsigned int i = 2; i < VelmarAsbHeadLength; ++i)
        if ((data[i] & 0x91) != 0x00) return false;
    return true;
}

bool FindExtensionPayload(const unsigned char* block, std::size_t length, std::size_t* offset, std::size_t* count) {
    if (length < 2) return false;
    const std::size_t position = payload_length_position(block);
    if (position == 0 || length < position + 2) return false;
    const std::size_t declared = (static_cast<std::size_t>(block[position]) << 8) | block[position + 1];
    // A payload length running past the block is cut to what the block holds.
    const std::size_t present = length - (position + 2);
    *offset = position + 2;
    *count = std::min(declared, present);
    return true;
}

void StatusStreamParser::feed(const unsigned char* bytes, std::size_t count, StatusStreamSink& sink) {
    while (count > 0) {
        if (state_ != State::Scan) {
            const std::size_t used = takeFrameBytes(bytes, count, sink);
            bytes += used;
            count -= used;
        } else if (!prefix_.empty()) {
            // Bytes held from the last piece meet the next one byte by byte,
            // so that a beginning cut anywhere is judged as if it came whole.
            std::vector<unsigned char> held;
            held.swap(prefix_);
            held.push_back(*bytes);
            ++bytes;
            --count;
            const std::size_t used = scan(held.data(), held.size(), sink);
            if (used < held.size()) feed(held.data() + used, held.size() - used, sink);
        } else {
            const std::size_t used = scan(bytes, count, sink);
            bytes += used;
            count -= used;
        }
    }
}

std::size_t StatusStreamParser::scan(const unsigned char* bytes, std::size_t count, StatusStreamSink& sink) {
    std::size_t dataStart = 0;
    for (std::size_t i = 0; i < count;) {
        const Start start = classify(bytes + i, count - i);
        if (start == Start::Nothing) {
            ++i;
            continue;
        }
        if (i > dataStart) sink.data(bytes + dataStart, i - dataStart);
        if (start == Start::Partial) {
            prefix_.assign(bytes + i, bytes + count);
            return count;
        }
        if (start == Start::Answer) {
            sink.completionAnswer(bytes + i);
            i += kAnswerLength;
            dataStart = i;
            continue;
        }
        // A frame head: the rest of the frame follows.
        std::copy(bytes + i, bytes + i + VelmarAsbHeadLength, block_);
        blockLength_ = static_cast<unsigned int>(CalculateStatusLength(bytes[i]));
        blockHave_ = VelmarAsbHeadLength;
        extensionLengthHave_ = 0;
        state_ = State::Block;
        return i + VelmarAsbHeadLength;
    }
    if (count > dataStart) sink.data(bytes + dataStart, count - dataStart);
    return count;
}

std::size_t StatusStreamParser::takeFrameBytes(const unsigned char* bytes, std::size_t count, StatusStreamSink& sink) {
    switch (state_) {
    case State::Block: {
        const std::size_t take = std::min<std::size_t>(blockLength_ - blockHave_, count);
        std::copy(bytes, bytes + take, block_ + blockHave_);
        blockHave_ += static_cast<unsigned int>(take);
        // Header 2 of every head announces an extension block.
        if (blockHave_ == blockLength_) state_ = State::ExtensionLength;
        return take;
    }
    case State::ExtensionLength: {
        const std::size_t take = std::min<std::size_t>(2 - extensionLengthHave_, count);
        std::copy(bytes, bytes + take, extensionLength_ + extensionLengthHave_);
        extensionLengthHave_ += static_cast<unsigned int>(take);
        if (extensionLengthHave_ == 2) {
            extensionWanted_ = (static_cast<std::size_t>(extensionLength_[0]) << 8) | extensionLength_[1];
            extension_.clear();
            if (extensionWanted_ == 0)
                emitFrame(sink);
            else
                state_ = State::Extension;
        }
        return take;
    }
    case State::Extension: {
        const std::size_t take = std::min(extensionWanted_ - extension_.size(), count);
        extension_.insert(extension_.end(), bytes, bytes + take);
        if (extension_.size() == extensionWanted_) emitFrame(sink);
        return take;
    }
    case State::Scan:
        break;
    }
    return 0;
}

void StatusStreamParser::emitFrame(StatusStreamSink& sink) {
    state_ = State::Scan;
    std::size_t offset = 0, count = 0;
    const bool carries = FindExtensionPayload(extension_.data(), extension_.size(), &offset, &count);
    sink.statusFrame(block_, blockLength_, carries ? extension_.data() + offset : nullptr, carries ? count : 0);
    extension_.clear();
    // A large extension is rare; do not keep its room for the port's life.
    if (extension_.capacity() > 4096) std::vector<unsigned char>().swap(extension_);
}

void StatusStreamParser::flush(StatusStreamSink& sink) {
    if (prefix_.empty()) return;
    std::vector<unsigned char> held;
    held.swap(prefix_);
    sink.data(held.data(), held.size());
}

void StatusStreamParser::finish(StatusStreamSink& sink) {
    flush(sink);
    state_ = State::Scan;
    extension_.clear();
}

StatusStreamParser::Held StatusStreamParser::held() const {
    if (state_ != State::Scan) return Held::Frame;
    return prefix_.empty() ? Held::Nothing : Held::Prefix;
}

std::size_t StatusStreamParser::frameBytesNeeded() const {
    switch (state_) {
    case State::Block:
        return blockLength_ - blockHave_ + 2;  // the extension length follows every block
    case State::ExtensionLength:
        return 2 - extensionLengthHave_;
    case State::Extension:
        return extensionWanted_ - extension_.size();
    case State::Scan:
        break;
    }
    return 0;
}

}  // namespace quenvar
