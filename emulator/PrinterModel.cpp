#include "emulator/PrinterModel.h"

#include <array>
#include <cmath>

namespace emulator {

namespace {

struct StatusBit {
  unsigned byte;
  uint8_t mask;
};

// Where the printer reports each condition in its Velmar ASB block, in the
// order of the Condition enumeration.
constexpr std::array<StatusBit, 21> g_statusBits = {{
    {2, 0x20}, {2, 0x08}, {2, 0x04},                        // cover, offline, compulsion switch
    {3, 0x40}, {3, 0x20}, {3, 0x08}, {3, 0x04},             // temperature, unrecoverable, cutter, mechanical
    {4, 0x40}, {4, 0x20}, {4, 0x08}, {4, 0x04}, {4, 0x02},  // buffer, page mode, black mark, jam, head up
    {5, 0x20}, {5, 0x08}, {5, 0x04}, {5, 0x02},             // mark detected, empty, near end inner/outer
    {6, 0x02}, {6, 0x04}, {6, 0x08}, {6, 0x20}, {6, 0x40},  // presenter, slip COF/BOF, validation, slip
}};

uint32_t bit_of(Condition condition) { return 1u << static_cast<unsigned>(condition); }

// Conditions under which the printer stops printing and reports itself offline.
const uint32_t g_stoppingConditions =
    bit_of(Condition::Offline) | bit_of(Condition::CoverOpen) | bit_of(Condition::PaperEmpty) |
    bit_of(Condition::CutterError) | bit_of(Condition::MechanicalError) |
    bit_of(Condition::UnrecoverableError) | bit_of(Condition::OverTemperature) |
    bit_of(Condition::HeadUp) | bit_of(Condition::PresenterPaperJam);

// Header byte 0 of a Velmar ASB block by total length 7..15.
constexpr std::array<uint8_t, 9> g_lengthHeaders = {0x0F, 0x21, 0x23, 0x25, 0x27,
                                                    0x29, 0x2B, 0x2D, 0x2F};

constexpr char kEsc = 0x1B;
constexpr char kDle = 0x10;
constexpr char kEtb = 0x17;

// The completion commands the printer recognises in the data stream.
const std::array<std::string, 6> g_completionCommands = {
    std::string("\x1B\x1D\x03\x04\x00\x00", 6),  // status preamble
    std::string("\x1B\x1D\x03\x02\x00\x00", 6),  // job begin
    std::string("\x1B\x1D\x03\x00\x00\x00", 6),  // job begin poll
    std::string("\x1B\x1D\x03\x03\x00\x00", 6),  // job acknowledge
    std::string("\x1B\x1D\x03\x01\x01\x01", 6),  // job end
    std::string("\x1B\x1D\x03\x00\x01\x01", 6),  // job end poll
};
const std::string g_jobBeginPoll = g_completionCommands[2];
const std::string g_jobEnd = g_completionCommands[4];
const std::string g_jobEndPoll = g_completionCommands[5];

bool starts_with(const std::string& whole, const std::string& prefix) {
  return whole.compare(0, prefix.size(), prefix) == 0;
}

// Position of the payload length inside an extension block, by identifier.
unsigned payload_length_position(const std::string& identifier) {
  static const char* const five[] = {"14"};
  static const char* const six[] = {"10", "12", "13", "15", "17", "18", "21",
                                    "22", "23", "24", "51", "61", "62", "A0"};
  for (const char* id : five)
    if (identifier == id) return 5;
  for (const char* id : six)
    if (identifier == id) return 6;
  return 4;
}

}  // namespace

PrinterModel::PrinterModel() = default;

void PrinterModel::notify() {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = listener_;
  }
  changed_.notify_all();
  if (listener) listener();
}

void PrinterModel::set(Condition condition, bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool couldPrint = canPrintLocked();
    if (on)
      conditions_ |= bit_of(condition);
    else
      conditions_ &= ~bit_of(condition);
    // Time spent stopped must not count as printing time once printing resumes.
    if (!couldPrint && canPrintLocked()) lastAdvance_ = Clock::now();
  }
  notify();
}

bool PrinterModel::get(Condition condition) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return (conditions_ & bit_of(condition)) != 0;
}

void PrinterModel::clearConditions() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!canPrintLocked()) lastAdvance_ = Clock::now();
    conditions_ = 0;
  }
  notify();
}

void PrinterModel::setPresenterState(unsigned state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    presenterState_ = state & 7;
  }
  notify();
}

unsigned PrinterModel::presenterState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return presenterState_;
}

void PrinterModel::setOfflineFollowsErrors(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    offlineFollowsErrors_ = on;
  }
  notify();
}

bool PrinterModel::canPrintLocked() const { return (conditions_ & g_stoppingConditions) == 0; }

bool PrinterModel::canPrint() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return canPrintLocked();
}

void PrinterModel::setStatusBlockLength(unsigned length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    statusLength_ = length < 7 ? 7 : (length > 15 ? 15 : length);
  }
  notify();
}

std::string PrinterModel::statusBlockLocked() const {
  std::string block(15, '\0');
  block[0] = static_cast<char>(g_lengthHeaders[statusLength_ - 7]);
  // Header 2 bit 7: on the data connection an extension length follows the block.
  block[1] = static_cast<char>(0x80);
  for (std::size_t i = 0; i < g_statusBits.size(); ++i)
    if (conditions_ & (1u << i)) block[g_statusBits[i].byte] |= static_cast<char>(g_statusBits[i].mask);
  if (offlineFollowsErrors_ && !canPrintLocked()) block[2] |= 0x08;
  block[7] = static_cast<char>(((etbCounter_ & 0x18) << 2) | ((etbCounter_ & 0x07) << 1));
  block[8] = static_cast<char>(presenterState_ << 1);
  block.resize(statusLength_);
  return block;
}

std::string PrinterModel::velmarStatusBlock() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusBlockLocked();
}

std::string PrinterModel::statusFrame() const { return velmarStatusBlock() + std::string(2, '\0'); }

std::string PrinterModel::statusFrameWithExtension(const std::string& identifier,
                                                   const std::string& payload,
                                                   int declaredPayloadLength) const {
  std::string id = identifier;
  id.resize(2, '0');
  unsigned position = payload_length_position(id);
  unsigned declared = declaredPayloadLength < 0 ? static_cast<unsigned>(payload.size())
                                                : static_cast<unsigned>(declaredPayloadLength);
  std::string block = id + std::string(position - 2, '\0');
  block += static_cast<char>((declared >> 8) & 0xFF);
  block += static_cast<char>(declared & 0xFF);
  block += payload;
  std::string frame = velmarStatusBlock();
  frame += static_cast<char>((block.size() >> 8) & 0xFF);
  frame += static_cast<char>(block.size() & 0xFF);
  return frame + block;
}

std::string PrinterModel::escposAutomaticStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return escposStatusLocked();
}

std::string PrinterModel::escposStatusLocked() const {
  auto has = [this](Condition c) { return (conditions_ & bit_of(c)) != 0; };
  bool offline = has(Condition::Offline) || (offlineFollowsErrors_ && !canPrintLocked());
  std::string status(4, '\0');
  status[0] = static_cast<char>(0x10 | (offline ? 0x08 : 0) | (has(Condition::CoverOpen) ? 0x20 : 0));
  status[1] = static_cast<char>((has(Condition::MechanicalError) ? 0x04 : 0) |
                                (has(Condition::CutterError) ? 0x08 : 0) |
                                (has(Condition::UnrecoverableError) ? 0x20 : 0) |
                                (has(Condition::OverTemperature) ? 0x40 : 0));
  bool nearEnd = has(Condition::PaperNearEndInner) || has(Condition::PaperNearEndOuter);
  status[2] = static_cast<char>((nearEnd ? 0x03 : 0) | (has(Condition::PaperEmpty) ? 0x0C : 0));
  return status;
}

uint8_t PrinterModel::realTimeStatus(uint8_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return realTimeStatusLocked(n);
}

uint8_t PrinterModel::realTimeStatusLocked(uint8_t n) const {
  auto has = [this](Condition c) { return (conditions_ & bit_of(c)) != 0; };
  bool offline = has(Condition::Offline) || (offlineFollowsErrors_ && !canPrintLocked());
  bool error = has(Condition::CutterError) || has(Condition::MechanicalError) ||
               has(Condition::UnrecoverableError) || has(Condition::OverTemperature);
  uint8_t reply = 0x12;  // fixed bits of every real-time reply
  switch (n) {
    case 1: reply |= offline ? 0x08 : 0; break;
    case 2:
      reply |= (has(Condition::CoverOpen) ? 0x04 : 0) | (has(Condition::PaperEmpty) ? 0x20 : 0) |
               (error ? 0x40 : 0);
      break;
    case 3:
      // Only the mechanical and cutter bits: the other error bits are fixed in this reply.
      reply |= (has(Condition::MechanicalError) ? 0x04 : 0) | (has(Condition::CutterError) ? 0x08 : 0);
      break;
    case 4:
      reply |= (has(Condition::PaperNearEndInner) || has(Condition::PaperNearEndOuter) ? 0x0C : 0) |
               (has(Condition::PaperEmpty) ? 0x60 : 0);
      break;
    default: break;
  }
  return reply;
}

void PrinterModel::failNextJobBegin(uint8_t c) {
  std::lock_guard<std::mutex> lock(mutex_);
  nextJobBegin_ = c;
}

void PrinterModel::failNextJobEnd(uint8_t c) {
  std::lock_guard<std::mutex> lock(mutex_);
  nextJobEnd_ = c;
}

unsigned PrinterModel::etbCounter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return etbCounter_;
}

void PrinterModel::setEtbCounter(unsigned value) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    etbCounter_ = value % 32;
  }
  notify();
}

void PrinterModel::setPrintSpeed(unsigned bytesPerSecond) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    printSpeed_ = bytesPerSecond;
    lastAdvance_ = Clock::now();
    printBudget_ = 0;
  }
  notify();
}

void PrinterModel::setAnswerCompletionCommands(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerCommands_ = on;
}

void PrinterModel::setAnswerRealTimeRequests(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  realTime_ = on;
}

std::string PrinterModel::printedData() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return printed_;
}

std::string PrinterModel::printedSince(std::size_t offset) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return offset < printed_.size() ? printed_.substr(offset) : std::string();
}

std::size_t PrinterModel::printedSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return printed_.size();
}

std::size_t PrinterModel::unprintedSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unprinted_.size();
}

std::string PrinterModel::allReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::size_t PrinterModel::receivedSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

bool PrinterModel::waitPrinted(std::size_t bytes, std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, bound, [&] { return printed_.size() >= bytes; });
}

bool PrinterModel::waitReceived(std::size_t bytes, std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, bound, [&] { return received_.size() >= bytes; });
}

bool PrinterModel::waitConnections(unsigned count, std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, bound, [&] { return connections_ >= count; });
}

unsigned PrinterModel::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::vector<std::string> PrinterModel::discoveryRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return discoveryRequests_;
}

unsigned PrinterModel::statusPortRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusRequests_;
}

void PrinterModel::setSilent(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = on;
    // A silent printer loses what it had to say; nothing comes out later.
    if (on) output_.clear();
  }
  notify();
}

bool PrinterModel::silent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return silent_;
}

void PrinterModel::closeAfterBytes(std::size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closeAfter_ = bytes;
  }
  notify();
}

void PrinterModel::setRefuseConnections(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_ = on;
  }
  notify();
  // Wait for a running front-end to act, so a connect right after this call
  // sees the new state.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(2), [&] { return !listening_ || *listening_ != on; });
}

void PrinterModel::reportListening(std::optional<bool> listening) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listening_ == listening) return;
    listening_ = listening;
  }
  changed_.notify_all();
}

bool PrinterModel::refuseConnections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refuse_;
}

void PrinterModel::dropConnection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropRequested_ = true;
  }
  notify();
}

void PrinterModel::setSplitOutput(std::size_t chunkBytes, std::chrono::milliseconds pause) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    splitChunk_ = chunkBytes;
    splitPause_ = pause;
  }
  notify();
}

void PrinterModel::sendRaw(const std::string& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connected_ && !silent_) output_ += bytes;
  }
  notify();
}

void PrinterModel::setModelName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  modelName_ = name;
}

std::string PrinterModel::modelName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return modelName_;
}

void PrinterModel::setAnswerDiscovery(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerDiscovery_ = on;
}

void PrinterModel::setDiscoveryReply(std::optional<std::string> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  discoveryReplyOverride_ = std::move(bytes);
}

void PrinterModel::setStatusPortReply(std::optional<std::string> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  statusPortReplyOverride_ = std::move(bytes);
}

void PrinterModel::setStatusPortEscpos(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  statusPortEscpos_ = on;
}

bool PrinterModel::statusPortEscpos() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusPortEscpos_;
}

// ---- Front-end side ----

void PrinterModel::hostConnected() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    ++connections_;
    output_.clear();
    dropRequested_ = false;
  }
  changed_.notify_all();
}

void PrinterModel::hostDisconnected() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A command cut off by the end of the connection was never a command.
    std::string partial;
    partial.swap(commandBytes_);
    for (char byte : partial) acceptDataByte(byte);
    std::deque<Marker> kept;
    for (const Marker& marker : markers_)
      if (!marker.jobEnd) kept.push_back(marker);
    markers_.swap(kept);
    connected_ = false;
    output_.clear();
  }
  changed_.notify_all();
}

std::size_t PrinterModel::admitBytes(std::size_t length, bool& closeNow) {
  std::lock_guard<std::mutex> lock(mutex_);
  closeNow = false;
  if (!closeAfter_) return length;
  std::size_t take = length < *closeAfter_ ? length : *closeAfter_;
  *closeAfter_ -= take;
  if (*closeAfter_ == 0) {
    closeNow = true;
    closeAfter_.reset();
  }
  return take;
}

bool PrinterModel::isCommandPrefix(const std::string& bytes) const {
  for (const std::string& command : g_completionCommands)
    if (starts_with(command, bytes)) return true;
  if (realTime_) {
    if (bytes.size() == 1) return bytes[0] == kDle;
    if (bytes.size() == 2) return bytes[0] == kDle && bytes[1] == 0x04;
    if (bytes.size() == 3) return bytes[0] == kDle && bytes[1] == 0x04 && bytes[2] >= 1 && bytes[2] <= 4;
  }
  return false;
}

void PrinterModel::consume(const char* data, std::size_t length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.append(data, length);
    for (std::size_t i = 0; i < length; ++i) {
      std::string pending(1, data[i]);
      // Feed bytes through the command recogniser; a prefix that stops
      // matching gives its first byte up as data and the rest is looked at again.
      while (!pending.empty()) {
        char byte = pending.front();
        pending.erase(0, 1);
        if (commandBytes_.empty() && byte != kEsc && !(realTime_ && byte == kDle)) {
          acceptDataByte(byte);
          continue;
        }
        commandBytes_ += byte;
        if (!isCommandPrefix(commandBytes_)) {
          std::string rest = commandBytes_.substr(1);
          acceptDataByte(commandBytes_[0]);
          commandBytes_.clear();
          pending = rest + pending;
          continue;
        }
        bool complete = commandBytes_.size() == 6 || (commandBytes_[0] == kDle && commandBytes_.size() == 3);
        if (complete) {
          std::string command;
          command.swap(commandBytes_);
          handleCommand(command);
        }
      }
    }
  }
  changed_.notify_all();
}

void PrinterModel::acceptDataByte(char byte) {
  if (unprinted_.empty()) {
    lastAdvance_ = Clock::now();
    printBudget_ = 0;
  }
  unprinted_.push_back(byte);
  ++dataCount_;
  if (printSpeed_ == 0 && canPrintLocked()) printLocked(unprinted_.size());
}

void PrinterModel::handleCommand(const std::string& command) {
  if (command[0] == kDle) {
    // Real-time requests are answered at once, ahead of any unprinted data.
    if (!silent_ && connected_) output_ += static_cast<char>(realTimeStatusLocked(static_cast<uint8_t>(command[2])));
    return;
  }
  if (command == g_jobBeginPoll) {
    uint8_t c = nextJobBegin_.value_or(0);
    nextJobBegin_.reset();
    if (!silent_ && connected_ && answerCommands_) {
      output_ += g_jobBeginPoll;
      output_ += static_cast<char>(c);
      output_ += '\0';
    }
    return;
  }
  if (command == g_jobEnd || command == g_jobEndPoll) {
    // Several polls for the same printed position get one answer: extra
    // answers would be left over for the host's next read.
    if (!markers_.empty() && markers_.back().jobEnd && markers_.back().position == dataCount_) return;
    markers_.push_back(Marker{dataCount_, true, static_cast<uint8_t>(command[3])});
    fireMarkersLocked();
  }
  // Status preamble, job begin and job acknowledge need no answer.
}

void PrinterModel::fireMarkersLocked() {
  while (!markers_.empty() && markers_.front().position <= printed_.size()) {
    Marker marker = markers_.front();
    markers_.pop_front();
    if (!marker.jobEnd) continue;
    uint8_t c = nextJobEnd_.value_or(1);
    nextJobEnd_.reset();
    if (silent_ || !connected_ || !answerCommands_) continue;
    output_ += std::string("\x1B\x1D\x03", 3);
    output_ += static_cast<char>(marker.command);
    output_ += std::string("\x01\x01", 2);
    output_ += static_cast<char>(c);
    output_ += '\0';
  }
}

void PrinterModel::printLocked(std::size_t count) {
  for (std::size_t i = 0; i < count && !unprinted_.empty(); ++i) {
    char byte = unprinted_.front();
    unprinted_.pop_front();
    printed_ += byte;
    if (byte == kEtb) etbCounter_ = (etbCounter_ + 1) % 32;
    fireMarkersLocked();
  }
  fireMarkersLocked();
}

void PrinterModel::advance(Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unprinted_.empty() || !canPrintLocked()) {
      lastAdvance_ = now;
      printBudget_ = 0;
      fireMarkersLocked();
      return;
    }
    if (printSpeed_ == 0) {
      printLocked(unprinted_.size());
    } else if (now > lastAdvance_) {
      printBudget_ += std::chrono::duration<double>(now - lastAdvance_).count() * printSpeed_;
      auto count = static_cast<std::size_t>(std::floor(printBudget_));
      printBudget_ -= static_cast<double>(count);
      lastAdvance_ = now;
      printLocked(count);
      if (unprinted_.empty()) printBudget_ = 0;
    }
  }
  changed_.notify_all();
}

bool PrinterModel::printing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !unprinted_.empty() && canPrintLocked() && printSpeed_ > 0;
}

std::string PrinterModel::takeOutput() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  out.swap(output_);
  return silent_ ? std::string() : out;
}

bool PrinterModel::takeDropRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  bool requested = dropRequested_;
  dropRequested_ = false;
  return requested;
}

std::size_t PrinterModel::splitChunk() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return splitChunk_;
}

std::chrono::milliseconds PrinterModel::splitPause() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return splitPause_;
}

std::optional<std::string> PrinterModel::discoveryReply(const std::string& request) {
  static const std::string expected(
      "QVL_BCAST\0\0\0\0\0\0\0RQ1.0.0\0\x00\x1C"
      "d1",
      28);
  std::lock_guard<std::mutex> lock(mutex_);
  discoveryRequests_.push_back(request);
  changed_.notify_all();
  if (request != expected || !answerDiscovery_ || silent_) return std::nullopt;
  if (discoveryReplyOverride_) return discoveryReplyOverride_;
  // The reply repeats the request's frame with the reply marker; hosts read
  // only the NUL-terminated model name at byte 36.
  std::string reply("QVL_BCAST\0\0\0\0\0\0\0RS1.0.0\0", 24);
  std::size_t total = 36 + modelName_.size() + 1;
  reply += static_cast<char>((total >> 8) & 0xFF);
  reply += static_cast<char>(total & 0xFF);
  reply += "d1";
  reply.resize(36, '\0');
  reply += modelName_;
  reply += '\0';
  return reply;
}

std::optional<std::string> PrinterModel::statusPortReply() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++statusRequests_;
  changed_.notify_all();
  if (silent_) return std::nullopt;
  if (statusPortReplyOverride_) return statusPortReplyOverride_;
  return statusPortEscpos_ ? escposStatusLocked() : statusBlockLocked();
}

void PrinterModel::setChangeListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

}  // namespace emulator
