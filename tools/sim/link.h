// The terminal's side of the framed link, with the link faults a scenario asks for (NAK, WACK,
// broken CRC, repeated frames, noise, pauses, silence, lost ACKs), by frame or at random.
#pragma once

#include "tools/sim/journal.h"
#include "tools/sim/log.h"

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace tarq {
struct PRS232_PORT;
}

namespace tarq::sim {

struct Config;

struct Element {
    std::uint8_t tag;
    std::vector<std::uint8_t> value;
};
using Message = std::vector<Element>;

std::vector<std::uint8_t> buildFrame(std::uint8_t seq, const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> encodeMessage(const Message& message);

class TerminalLink {
  public:
    // Takes ownership of the port; reads the link faults from `faults` and counts its
    // "mute" down.
    TerminalLink(PRS232_PORT* port, Config& faults, Log& log);
    ~TerminalLink();
    TerminalLink(const TerminalLink&) = delete;
    TerminalLink& operator=(const TerminalLink&) = delete;

    // Sends one message and waits for its acknowledgement, sending again as the link does;
    // frames from the ECR that arrive meanwhile are received. False when it was given up.
    bool sendMessage(const Message& message);
    // Reads what the line holds now (one byte, or the frame it starts).
    void poll();
    // The oldest message received and not yet taken, with its frame's sequence number.
    bool nextMessage(Message& message, std::uint8_t* seq = nullptr);
    // Records the injected faults there too (null: nowhere).
    void setJournal(Journal* journal) { journal_ = journal; }

  private:
    bool readByte(std::uint8_t& byte, int tries);
    // A frame whose STX has been read: the rest read, checked, answered and its message kept.
    void receiveFrame();
    // Reads the frame after its STX into `f`; false when it was cut off.
    bool readFrame(std::vector<std::uint8_t>& f);
    // Answers a frame that carries nothing new (muted, cut off, bad CRC, keep-alive, repeated);
    // true for a new data frame.
    bool isNewFrame(const std::vector<std::uint8_t>& f, bool complete);
    // Answers a new frame as the injected faults say; false when it was refused.
    bool acknowledge(std::uint8_t seq);
    // Decodes the frame's message into the inbox.
    void takeMessage(const std::vector<std::uint8_t>& f);
    void sendControl(std::uint8_t control, int seq = -1);
    bool waitForAck(const std::vector<std::uint8_t>& frame, std::uint8_t seq);
    void writeFrame(const std::vector<std::uint8_t>& frame, bool pauseInside);
    // At the configured rate, one of `kinds` faults (0..kinds-1); -1 for none.
    int drawFault(int kinds);
    void fault(const char* name, const std::string& detail);

    using Clock = std::chrono::steady_clock;
    PRS232_PORT* port_;
    Config& faults_;
    Log& log_;
    std::deque<std::pair<Message, std::uint8_t>> inbox_;
    Journal* journal_ = nullptr;
    std::mt19937 rng_;
    std::uint8_t txSeq_ = 0xFF;
    bool firstTx_ = true;
    int lastRxSeq_ = -1;
    int rxFrames_ = 0;
    int txFrames_ = 0;
};

} // namespace tarq::sim
