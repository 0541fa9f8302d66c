// tarqecr: the simplest real cash register. Loads the driver, registers callbacks that show
// what the terminal says, and runs operations given on the command line.
#include "protocol/charset.h"
#include "tools/driver_api.h"
#include "tools/ecr_os.h"
#include "tools/version.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using tarq::ecr::DriverApi;

struct Options {
    std::string lib;
    int currency = 578;
    char merchIn = '1';
    int confirmExtCard = 0;
    int extCardAnswer = 1;
    int signatureAnswer = 1;
    bool refuseCard = false;
    int abortAfterMs = -1;
};

Options opts;
std::chrono::steady_clock::time_point paymentStart;
std::string lastLine1, lastLine2;
bool abortTold = false; // "abort requested" was printed for the running payment

// On a terminal, one line rewritten in place while a call waits for the terminal ("waiting for
// the terminal: 7 s"). The driver prints on the same standard output from the calling thread, so
// everything printed passes through a pipe to a relay that clears the line first; the line is
// drawn only after a whole line of other output, never into a part of one. On a file or a pipe
// nothing of this happens and the output is as written.
class Progress {
  public:
    Progress() {
        if (!tarq::ecr::pipeStdout(terminal_, pipe_)) return;
        relay_ = std::thread([this] { relay(); });
        ticker_ = std::thread([this] { tick(); });
    }
    ~Progress() { stop(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void begin() {
        const std::lock_guard lock(m_);
        since_ = std::chrono::steady_clock::now();
        waiting_ = true;
    }
    void end() {
        const std::lock_guard lock(m_);
        waiting_ = false;
        clear();
    }
    // Everything printed so far is shown and the terminal is standard output again.
    void stop() {
        std::call_once(stopped_, [this] { finish(); });
    }

  private:
    void finish() {
        if (terminal_ < 0) return;
        std::fflush(stdout);
        {
            const std::lock_guard lock(m_);
            stopping_ = true;
        }
        ticker_.join();
        tarq::ecr::unpipeStdout(terminal_); // the relay sees the pipe's end
        relay_.join();
    }
    void write(std::string_view text) {
        tarq::ecr::writeAll(terminal_, text.data(), static_cast<unsigned>(text.size()));
    }
    void clear() {
        if (shown_ == 0) return;
        write("\r" + std::string(shown_, ' ') + "\r");
        shown_ = 0;
    }
    void relay() {
        std::array<char, 4096> buf{};
        int n = 0;
        while ((n = tarq::ecr::readSome(pipe_, buf.data(), buf.size())) > 0) {
            const std::lock_guard lock(m_);
            clear();
            write(std::string_view(buf.data(), static_cast<std::size_t>(n)));
            lineEnded_ = buf[static_cast<std::size_t>(n) - 1] == '\n';
        }
        const std::lock_guard lock(m_);
        clear();
    }
    void tick() {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const std::lock_guard lock(m_);
            if (stopping_) return clear();
            const auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::steady_clock::now() - since_)
                                  .count();
            if (!waiting_ || !lineEnded_ || secs < 1 || (shown_ != 0 && secs == drawn_)) continue;
            drawn_ = secs;
            const std::string line = "waiting for the terminal: " + std::to_string(secs) + " s";
            write("\r" + line);
            shown_ = std::max(shown_, line.size());
        }
    }

    int terminal_ = -1, pipe_ = -1;
    std::mutex m_;
    bool waiting_ = false, lineEnded_ = true, stopping_ = false;
    std::size_t shown_ = 0; // width of the progress line on the screen; 0 none
    long long drawn_ = 0;   // the seconds it shows
    std::chrono::steady_clock::time_point since_;
    std::thread relay_, ticker_;
    std::once_flag stopped_;
};

Progress* progress = nullptr;

// Ctrl-C. The driver is single-threaded and not reentrant, so a press never calls it: the
// handler only counts; a watcher thread says what each press does and sets the flags the main
// thread acts on. During a payment the first press makes the abort question answer yes; any
// other press (or one outside a payment) ends the program: the abort question answers yes, and
// when the running call returns the line is closed. When that takes more than 2 s the watcher
// ends the program without the close.
std::atomic<int> presses{0};
std::atomic<bool> paymentRunning{false}, abortAsked{false}, quitting{false}, finished{false};
constexpr auto kQuitBound = std::chrono::seconds(2);

void onInterrupt() {
    presses.fetch_add(1);
}

void say(const char* line) {
    std::printf("ECR: %s\n", line);
    std::fflush(stdout);
}

// Answers each press it has not answered yet; false once the program must end without waiting.
bool answerPresses(int& answered, std::chrono::steady_clock::time_point& quitBy) {
    for (; answered < presses.load(); ++answered) {
        if (quitting) {
            say("Ctrl-C: already ending");
        } else if (paymentRunning && !abortAsked) {
            abortAsked = true;
            say("Ctrl-C: asking the terminal to abort the payment (Ctrl-C again ends the program)");
        } else {
            quitBy = std::chrono::steady_clock::now() + kQuitBound;
            quitting = true;
            say("Ctrl-C: ending: the line is closed when the running call returns (at most 2 s)");
        }
    }
    return !quitting || finished || std::chrono::steady_clock::now() < quitBy;
}

class InterruptWatcher {
  public:
    InterruptWatcher()
        : thread_([this] {
              int answered = 0;
              std::chrono::steady_clock::time_point quitBy{};
              while (!stop_) {
                  if (!answerPresses(answered, quitBy)) {
                      say("the driver did not return within 2 s: ending without closing the line");
                      if (progress) progress->stop();
                      std::_Exit(1);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    ~InterruptWatcher() {
        stop_ = true;
        thread_.join();
    }
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Windows-1252 display and receipt texts shown on a UTF-8 console.
std::string toUtf8(const char* text) {
    return tarq::cp1252ToUtf8(text);
}

// Track 2 as the trace shows a card number: the first six and last four digits of the card
// number, nothing after the separator (expiry and the rest); short numbers show nothing.
std::string maskTrack2(std::string_view track2) {
    std::string pan(track2.substr(0, track2.find('=')));
    for (std::size_t i = 0; i < pan.size(); ++i)
        if (pan.size() < 13 || (i >= 6 && i + 4 < pan.size())) pan[i] = '*';
    return pan;
}

int onCardData(const char* card) {
    std::printf("ECR card data: %s%s\n", maskTrack2(card).c_str(),
                opts.refuseCard ? " (refused)" : "");
    std::fflush(stdout);
    return opts.refuseCard ? 0 : 1;
}

int onReceipt(int segment, const char* text) {
    std::printf("ECR ---- receipt%s ----\n%s", segment == 0 ? " (last)" : "", toUtf8(text).c_str());
    const std::size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\n') std::printf("\n");
    std::printf("ECR ------------------\n");
    std::fflush(stdout);
    return 1;
}

void onDisplay(const char* line1, const char* line2) {
    if (lastLine1 == line1 && lastLine2 == line2) return;
    lastLine1 = line1;
    lastLine2 = line2;
    std::printf("ECR display: [%-20s] [%-20s]\n", toUtf8(line1).c_str(), toUtf8(line2).c_str());
    std::fflush(stdout);
}

int onAbortQuery() {
    bool abort = abortAsked || quitting || tarq::ecr::abortKeyTyped();
    if (!abort && opts.abortAfterMs >= 0 && paymentRunning)
        abort = std::chrono::steady_clock::now() - paymentStart >=
                std::chrono::milliseconds(opts.abortAfterMs);
    if (abort && !abortTold) say("abort requested");
    abortTold = abortTold || abort;
    return abort ? 1 : 0;
}

int onExtCardConfirm() {
    std::printf("ECR: confirm external card -> %d\n", opts.extCardAnswer);
    std::fflush(stdout);
    return opts.extCardAnswer;
}

int onSignature() {
    std::printf("ECR: signature %s\n", opts.signatureAnswer == 1 ? "accepted" : "rejected");
    std::fflush(stdout);
    return opts.signatureAnswer;
}

void onAdvice() {
    std::printf("ECR: advice flag\n");
    std::fflush(stdout);
}

// How a command's result reads: the open and close codes have their own meanings.
enum class Meaning { Open, Close, Restart, Version, Admin, Operation };

constexpr int kTerminalAborted = 17; // the terminal's result for an aborted payment

// Exit statuses.
constexpr int kAllDone = 0, kCommandFailed = 1, kRefusedLine = 2, kNotOpened = 3;

// Whether a result means the command did its work; `payment`: a payment, not a command.
bool succeeded(Meaning kind, int r, bool payment) {
    switch (kind) {
    case Meaning::Open:
        return r == TRQ_OPEN_OK || r == TRQ_OPEN_ALREADY;
    case Meaning::Close:
        return r == TRQ_CLOSE_OK || r == TRQ_CLOSE_ALREADY;
    case Meaning::Restart:
        return r == TRQ_RESTART_SENT;
    case Meaning::Version:
        return r == TRQ_VERSION_PRINTED;
    case Meaning::Admin:
        return r >= TRQ_ISSUER_BASE;
    case Meaning::Operation:
        break;
    }
    return r == TRQ_APPROVED || (!payment && r == TRQ_NO_LOG);
}

const char* meaning(Meaning kind, int r) {
    if (kind == Meaning::Open) {
        switch (r) {
        case TRQ_OPEN_OK:
            return "open";
        case TRQ_OPEN_ALREADY:
            return "already open";
        case TRQ_OPEN_INCOMPLETE:
            return "previous open incomplete, close first";
        case TRQ_OPEN_NOT_DELIVERED:
            return "open message not delivered, close first";
        case TRQ_OPEN_NO_MESSAGE:
            return "no open message built (callbacks not registered)";
        case TRQ_OPEN_NO_LINK:
            return "serial port missing or busy";
        case TRQ_OPEN_NO_CONFIG:
            return "tarqRS.ini not readable (the line above names the file)";
        case TRQ_OPEN_NO_MODULE:
            return "library file not found";
        default:
            return "unknown";
        }
    }
    if (kind == Meaning::Close) {
        switch (r) {
        case TRQ_CLOSE_OK:
            return "closed";
        case TRQ_CLOSE_NOT_DELIVERED:
            return "closed, close message not delivered";
        case TRQ_CLOSE_ALREADY:
            return "already closed";
        case TRQ_CLOSE_NOT_OPEN:
            return "not open";
        default:
            return "unknown";
        }
    }
    if (kind == Meaning::Restart && r == TRQ_RESTART_SENT) return "restart sent";
    if (kind == Meaning::Version && r == TRQ_VERSION_PRINTED) return "version printed";
    if (kind == Meaning::Admin && r >= TRQ_ISSUER_BASE) return "20 + issuer number";
    switch (r) {
    case TRQ_APPROVED:
        return "approved / done";
    case TRQ_NO_RESULT:
        return "no result from the terminal";
    case TRQ_TIMEOUT:
        return "terminal silent (time-out); check the last receipt";
    case TRQ_NO_RECEIPT:
        return "no receipt, take a copy";
    case TRQ_NO_LOG:
        return "nothing to reconcile";
    case TRQ_TERM_NOT_READY:
        return "terminal not ready";
    case TRQ_NO_CONNECTION:
        return "terminal did not answer";
    case TRQ_NOT_OPEN:
        return "connection not open";
    case TRQ_CLOSED:
        return "connection closed";
    case TRQ_NOT_AVAILABLE:
        return "not available";
    case TRQ_ILLEGAL_TYPE:
        return "illegal transaction type";
    case TRQ_AMOUNT_TOO_HIGH:
        return "amount too high";
    case TRQ_AMOUNT_TOO_LOW:
        return "amount too low";
    case TRQ_AMOUNT_BELOW_PURCHASE:
        return "amount below purchase amount";
    case kTerminalAborted:
        return "aborted";
    default:
        return "terminal's result (declined or refused)";
    }
}

// "12.50", "12,5" or "12" in minor units; -1 when it is not an amount.
long long parseAmount(std::string_view text) {
    long long units = 0;
    int decimals = -1;
    for (char c : text) {
        if ((c == '.' || c == ',') && decimals < 0) {
            decimals = 0;
        } else if (c >= '0' && c <= '9' && decimals < 2) {
            units = units * 10 + (c - '0');
            if (decimals >= 0) ++decimals;
            if (units > INT_MAX) return -1;
        } else {
            return -1;
        }
    }
    if (text.empty()) return -1;
    for (int d = decimals < 0 ? 0 : decimals; d < 2; ++d)
        units *= 10;
    return units > INT_MAX ? -1 : units;
}

void usage(std::FILE* out) {
    std::fprintf(
        out,
        "usage: tarqecr [options] COMMAND [ARG] [COMMAND [ARG] ...]\n"
        "Without an explicit 'open' the line is opened before and closed after the commands.\n"
        "Commands:\n"
        "  open | close | open-rs232 | close-rs232\n"
        "  purchase AMOUNT       transaction type 0 (amount as written, e.g. 12.50)\n"
        "  refund AMOUNT         transaction type 1\n"
        "  transaction TYPE AMOUNT [PURCHASE]   any type (5 skips the amount checks)\n"
        "  card-transaction AMOUNT             (not available in this driver)\n"
        "  report | end-of-day | clock-sync-host | clock-sync | restart | test | last-receipt\n"
        "  total | last-end-of-day | parameters | log | employee | version\n"
        "  admin CODE            any administrative command code\n"
        "Options:\n"
        "  --lib PATH            driver library (default: libtarqdriver.so beside this program\n"
        "                        or in ../ or ../lib; tarqRS.ini lies beside it, on Linux\n"
        "                        else in /etc/tarqdriver/)\n"
        "  --currency N          currency code (default 578)\n"
        "  --merchant C          merchant indicator character (default 1)\n"
        "  --ext-card            ask the terminal for an external-card confirmation\n"
        "  --ext-card-answer N   answer to the confirmation question (1 accept, 2 reject)\n"
        "  --signature N         answer to the signature question (1 accept, 2 reject)\n"
        "  --refuse-card         refuse the card data\n"
        "  --abort-after MS      abort the payment after MS milliseconds\n"
        "  --version             print this program's version and end (the command 'version'\n"
        "                        is the administrative command 35)\n"
        "Numbers are digits only. During a payment, Ctrl-C (or the key a and Enter) aborts the\n"
        "payment and the commands go on; Ctrl-C again, or outside a payment, ends the program:\n"
        "the line is closed when the running call returns, or not at all after 2 s.\n"
        "Exit status: 0 every command succeeded; 1 a command was refused, declined, aborted,\n"
        "timed out or found no connection, or Ctrl-C ended the program; 2 the command line was\n"
        "refused (nothing sent); 3 the driver could not be loaded or the line not opened.\n");
}

// A number written with digits only, up to `high`; -1 otherwise.
long long parseNumber(std::string_view text, long long high) {
    long long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
        if (n > high) return -1;
    }
    return text.empty() ? -1 : n;
}

std::string notANumber(const std::string& word, const std::string& what, long long high) {
    return "'" + word + "' is not a number for " + what + " (digits, 0 to " + std::to_string(high) +
           ")";
}

// One command word: its arguments, the operation, and how its result reads.
enum class Arg { None, Amount, OptionalAmount, Number };

struct Command {
    std::string_view word;
    std::array<Arg, 3> args;
    const char* argName; // what a missing Number argument is called in the refusal
    Meaning meaning;
    const char* reportAs; // name on the result line; nullptr: the word
    bool opens;           // opens the line itself, so it is not opened around the commands
    int (*run)(const DriverApi& api, const std::vector<int>& args);
};

int pay(const DriverApi& api, int type, int amount, int purchase) {
    abortAsked = false;
    abortTold = false;
    paymentStart = std::chrono::steady_clock::now();
    paymentRunning = true;
    const int r = api.trqNorTransaction(type, amount, opts.currency, opts.merchIn,
                                        opts.confirmExtCard, purchase, "", "", 0, 0, "", "", "");
    paymentRunning = false;
    return r;
}

using A = Arg;
using M = Meaning;
using Args = std::vector<int>;
constexpr std::array<Arg, 3> kNone{};
constexpr std::array<Arg, 3> kAmount{A::Amount};

const Command kCommands[] = {
    {"open", kNone, "", M::Open, "open", true,
     [](const DriverApi& api, const Args&) { return api.trqOpen("", 0); }},
    {"open-rs232", kNone, "", M::Open, "open", true,
     [](const DriverApi& api, const Args&) { return api.trqOpenRS232(); }},
    {"close", kNone, "", M::Close, "close", false,
     [](const DriverApi& api, const Args&) { return api.trqClose(0); }},
    {"close-rs232", kNone, "", M::Close, "close", false,
     [](const DriverApi& api, const Args&) { return api.trqCloseRS232(); }},
    {"purchase", kAmount, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args& a) { return pay(api, 0, a[0], a[0]); }},
    {"refund", kAmount, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args& a) { return pay(api, 1, a[0], a[0]); }},
    {"transaction",
     {A::Number, A::Amount, A::OptionalAmount},
     "type",
     M::Operation,
     nullptr,
     false,
     [](const DriverApi& api, const Args& a) {
         return pay(api, a[0], a[1], a.size() > 2 ? a[2] : a[1]);
     }},
    {"card-transaction", kAmount, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args& a) {
         return api.trqCardTransaction(0, a[0], opts.currency, opts.merchIn, 0);
     }},
    {"report", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqTermReport(); }},
    {"end-of-day", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqEndOfDay(); }},
    {"clock-sync-host", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqClockSyncHost(); }},
    {"clock-sync", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqClockSyncKelmo(); }},
    {"restart", kNone, "", M::Restart, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqRestartTerm(); }},
    {"test", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqTestConnection(); }},
    {"last-receipt", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqLastReceipt(); }},
    {"total", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqTotalReport(); }},
    {"last-end-of-day", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqLastEndOfDayReport(); }},
    {"parameters", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqParameterReport(); }},
    {"log", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqLog(); }},
    {"employee", kNone, "", M::Operation, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqEmployeeReport(); }},
    {"version", kNone, "", M::Version, nullptr, false,
     [](const DriverApi& api, const Args&) { return api.trqNorAdmin(TRQ_ADMIN_VERSION, 0, 0); }},
    // The issuer query (code TRQ_ADMIN_ISSUER) reports as "issuer", with its own meaning.
    {"admin",
     {A::Number},
     "code",
     M::Admin,
     nullptr,
     false,
     [](const DriverApi& api, const Args& a) { return api.trqNorAdmin(a[0], 0, 0); }},
};

struct Call {
    const Command* command;
    Args args;
};

const Command* findCommand(std::string_view word) {
    for (const Command& c : kCommands)
        if (c.word == word) return &c;
    return nullptr;
}

// The command line as calls, or an error text; nothing is run before all of it is read.
std::string parseCommands(const std::vector<std::string>& words, std::vector<Call>& calls) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const Command* command = findCommand(w);
        if (!command) return "unknown command '" + w + "'";
        Call call{command, {}};
        // Amounts are checked first: a missing one is the likelier slip.
        std::size_t at = i + 1;
        for (Arg kind : command->args) {
            if (kind == Arg::OptionalAmount) break;
            if (kind == Arg::Amount && (at >= words.size() || parseAmount(words[at]) < 0))
                return w + " needs an amount such as 12.50";
            if (kind != Arg::None) ++at;
        }
        for (Arg kind : command->args) {
            if (kind == Arg::None) break;
            const bool present = i + 1 < words.size() &&
                                 (kind != Arg::OptionalAmount || parseAmount(words[i + 1]) >= 0);
            if (!present && kind == Arg::OptionalAmount) break;
            if (!present) return w + " needs a " + command->argName;
            const std::string& a = words[++i];
            const long long n = kind == Arg::Number ? parseNumber(a, INT_MAX) : parseAmount(a);
            if (n < 0) return notANumber(a, w + " " + command->argName, INT_MAX);
            call.args.push_back(static_cast<int>(n));
        }
        calls.push_back(std::move(call));
    }
    return {};
}

// Options into `opts` and command words into `words`; an exit status when the program ends
// here (help, or a refused option), else -1.
int parseOptions(int argc, char** argv, std::vector<std::string>& words) {
    std::string refusal;
    for (int i = 1; i < argc && refusal.empty(); ++i) {
        const std::string_view a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 < argc) return argv[++i];
            refusal = std::string(a) + " needs a value";
            return {};
        };
        // A whole number up to `high` into `to`, or the refusal naming the word.
        auto number = [&](int& to, long long high) {
            const std::string v = value();
            const long long n = parseNumber(v, high);
            if (n >= 0) to = static_cast<int>(n);
            if (n < 0 && refusal.empty()) refusal = notANumber(v, std::string(a), high);
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return kAllDone;
        } else if (a == "--version") {
            tarq::tools::printVersion("tarqecr");
            return kAllDone;
        } else if (a == "--lib")
            opts.lib = value();
        else if (a == "--currency")
            number(opts.currency, 999);
        else if (a == "--merchant")
            opts.merchIn = value().c_str()[0];
        else if (a == "--ext-card")
            opts.confirmExtCard = 1;
        else if (a == "--ext-card-answer")
            number(opts.extCardAnswer, INT_MAX);
        else if (a == "--signature")
            number(opts.signatureAnswer, INT_MAX);
        else if (a == "--refuse-card")
            opts.refuseCard = true;
        else if (a == "--abort-after")
            number(opts.abortAfterMs, INT_MAX);
        else if (a.starts_with("--"))
            refusal = "unknown option " + std::string(a);
        else
            words.emplace_back(a);
    }
    if (!refusal.empty()) std::fprintf(stderr, "tarqecr: %s\n", refusal.c_str());
    if (!refusal.empty() || words.empty()) usage(stderr);
    return !refusal.empty() || words.empty() ? kRefusedLine : -1;
}

void registerCallbacks(const DriverApi& api) {
    api.trqInitCallback(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(&onCardData));
    api.trqInitCallback(TRQ_CB_PRINT_RECEIPT, reinterpret_cast<void*>(&onReceipt));
    api.trqInitCallback(TRQ_CB_DISPLAY_STATUS, reinterpret_cast<void*>(&onDisplay));
    api.trqInitCallback(TRQ_CB_ABORT_QUERY, reinterpret_cast<void*>(&onAbortQuery));
    api.trqInitCallback(TRQ_CB_EXT_CARD_CONFIRM, reinterpret_cast<void*>(&onExtCardConfirm));
    api.trqInitCallback(TRQ_CB_VERSIG_CONFIRM, reinterpret_cast<void*>(&onSignature));
    api.trqInitCallback(TRQ_CB_ADVICE_FLAG, reinterpret_cast<void*>(&onAdvice));
}

bool isPayment(const Command& c) {
    return std::find(c.args.begin(), c.args.end(), Arg::Amount) != c.args.end();
}

// A call into the driver, which may wait for the terminal.
template <class F> int waitFor(F&& call) {
    if (progress) progress->begin();
    const int r = call();
    if (progress) progress->end();
    return r;
}

// Runs the calls, opening and closing around them unless they open themselves; the exit status.
int runCalls(const DriverApi& api, const std::vector<Call>& calls) {
    int status = kAllDone;
    auto report = [&](const char* name, Meaning kind, int r, bool payment) {
        std::printf("ECR result of %s: %d (%s)\n", name, r, meaning(kind, r));
        std::fflush(stdout);
        if (!succeeded(kind, r, payment))
            status = std::max(status, kind == Meaning::Open ? kNotOpened : kCommandFailed);
    };
    const bool explicitOpen =
        std::any_of(calls.begin(), calls.end(), [](const Call& c) { return c.command->opens; });
    if (!explicitOpen) {
        report("open", Meaning::Open, waitFor([&] { return api.trqOpen("", 0); }), false);
        if (status != kAllDone) {
            waitFor([&] { return api.trqCloseRS232(); });
            return status;
        }
    }
    for (const Call& call : calls) {
        if (quitting) break;
        const Command& c = *call.command;
        const std::string word(c.word);
        const char* name = c.reportAs ? c.reportAs : word.c_str();
        Meaning kind = c.meaning;
        if (kind == Meaning::Admin && call.args[0] == TRQ_ADMIN_ISSUER)
            name = "issuer";
        else if (kind == Meaning::Admin)
            kind = call.args[0] == TRQ_ADMIN_VERSION ? Meaning::Version : Meaning::Operation;
        report(name, kind, waitFor([&] { return c.run(api, call.args); }), isPayment(c));
    }
    if (!explicitOpen || quitting)
        report("close", Meaning::Close, waitFor([&] { return api.trqCloseRS232(); }), false);
    return quitting ? std::max(status, kCommandFailed) : status;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words;
    if (const int status = parseOptions(argc, argv, words); status >= 0) return status;
    if (opts.lib.empty()) opts.lib = tarq::ecr::defaultLibrary(argv[0]);
    // Refuse a mistyped command line before anything reaches the terminal.
    std::vector<Call> calls;
    if (const std::string error = parseCommands(words, calls); !error.empty()) {
        std::fprintf(stderr, "tarqecr: %s\n", error.c_str());
        return kRefusedLine;
    }

    DriverApi api;
    if (!api.load(opts.lib)) {
        std::fprintf(stderr, "tarqecr: %s\n", api.error.c_str());
        return kNotOpened;
    }
    Progress shown;
    progress = &shown;
    InterruptWatcher watcher;
    tarq::ecr::catchInterrupt(onInterrupt);
    registerCallbacks(api);
    const int status = runCalls(api, calls);
    finished = true;
    return status;
}
