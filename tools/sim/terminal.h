// The terminal's side of the line: a scriptable payment terminal that speaks the framed link and
// the BER-TLV messages, used by the simulator program and by the end-to-end tests.
#pragma once

#include "tools/sim/link.h"
#include "tools/sim/log.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarq::sim {

// What the terminal does; every field has a command-line key (see applySetting).
struct Config {
    std::vector<int> result{0}; // result byte of each completed payment (the last repeats)
    int issuer = 3;             // issuer byte sent with an approval
    int abortResult = 17;       // result after an abort (by the ECR, the terminal or a refusal)
    int receipts = 2;           // number of payment receipts (when no texts are given)
    std::vector<std::string> receiptTexts; // explicit receipt texts (Windows-1252)
    std::vector<std::string> statusTexts;  // "line1|line2" pairs shown before the card
    std::vector<std::uint8_t> card;        // packed card data
    int track2Length = -1;                 // -1: the card's own length
    int notReady = 0;                      // answer "not ready" to this many requests
    bool signature = false;                // ask the ECR to verify the signature
    bool extCard = false;                  // ask the ECR to confirm the card
    bool terminalAbort = false;            // the terminal aborts after reading the card
    int silence = 0; // leave this many requests unanswered (-1: all); frames are still ACKed
    int mute = 0;    // answer this many frames not at all, not even with ACK (-1: all)
    std::vector<int> adminResult{0};  // result of each administrative command (last repeats)
    int adminReceipts = 1;            // receipts printed per administrative command
    std::vector<int> adminIssuer{-1}; // issuer element sent with each (-1: none)
    int cardDelayMs = 300;            // before the card is presented
    int stepDelayMs = 100;            // between the terminal's messages
    bool exitOnClose = false;
    // Link faults, by ordinal (1-based) of data frames: received from the ECR (nak, wack) or
    // sent to it (badCrc, repeat, noise, pause).
    std::set<int> nak, wack, badCrc, repeat, noise, pause, lostAck;
    // Besides those, each data frame meets one fault with this probability (receiving: NAK,
    // WACK, lost ACK; sending: broken CRC, noise, pause, repetition), drawn from faultSeed.
    double faultRate = 0;
    unsigned faultSeed = 1;
};

Config defaultConfig();
// Applies one setting ("result", "7"); returns an error text, empty when accepted.
std::string applySetting(Config& config, std::string_view key, std::string_view value);
// Reads settings from a file, one "key = value" (or "key value") per line; '#' starts a
// comment. Returns an error text, empty when all lines were accepted.
std::string loadScenario(Config& config, const std::string& path);
// Packs "4571999900001234=2812101" into half-bytes ('=' is the separator 0xD, F fills).
std::vector<std::uint8_t> packCard(std::string_view digits);
// One line per setting key, for --help.
std::string settingsHelp();

class Terminal {
  public:
    // Takes ownership of the port.
    Terminal(PRS232_PORT* port, Config config, std::FILE* logOut);
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Serves the line until stop is set or, with exitOnClose, the ECR closed the connection.
    void run(const std::atomic<bool>& stop);

    // For a soak runner on another thread: what the terminal concluded goes to the journal
    // (set before run); new settings take effect between two dialogues; idle() is true while
    // no dialogue is under way.
    void setJournal(Journal* journal);
    void reconfigure(Config config);
    bool idle() const { return idle_.load(); }

  private:
    using Clock = std::chrono::steady_clock;
    struct Step {
        enum class Kind { Send, Wait } kind;
        Message message;                          // Send
        int delayMs = 0;                          // Send: pause before it
        std::set<std::uint8_t> tags;              // Wait: any of these ends the wait
        std::function<void(const Message&)> then; // Wait: runs with the message that ended it
    };

    void handleMessage(const Message& message);
    void startPayment();
    void continueAfterPaymentRecord(const Message& record);
    void finishPayment(bool approved);
    void abortPayment(const char* why);
    void startAdmin(int code);
    bool silent();
    void queueSend(Message message, int delayMs);
    void queueWait(std::set<std::uint8_t> tags, std::function<void(const Message&)> then);
    void runDueStep();
    void record(JournalEvent event);

    Config cfg_;
    Log log_;
    TerminalLink link_;
    std::deque<Step> script_;
    Clock::time_point stepReady_;
    Clock::time_point waitSince_;
    bool paymentActive_ = false;
    bool extCardAsked_ = false;
    bool closed_ = false;
    Clock::time_point closedAt_;
    int notReadyLeft_ = 0;
    int payments_ = 0;
    int commands_ = 0;
    int paymentResult_ = 0;
    std::uint32_t amount_ = 0;
    int currency_ = 0;
    std::uint8_t requestSeq_ = 0;
    Journal* journal_ = nullptr;
    std::mutex pendingMutex_;
    std::unique_ptr<Config> pending_;
    std::atomic<bool> idle_{true};
};

} // namespace tarq::sim
