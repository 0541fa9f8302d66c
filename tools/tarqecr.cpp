// tarqecr: the simplest real cash register. Loads the driver, registers callbacks that show
// what the terminal says, and runs operations given on the command line.
#include "protocol/charset.h"
#include "tools/driver_api.h"
#include "tools/ecr_os.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
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
std::atomic<int> interrupts{0};
std::chrono::steady_clock::time_point paymentStart;
bool paymentRunning = false;
std::string lastLine1, lastLine2;

bool onInterrupt() {
    // A Ctrl-C during a payment asks the terminal to abort; the third one ends the program.
    return interrupts.fetch_add(1) < 2;
}

// Windows-1252 display and receipt texts shown on a UTF-8 console.
std::string toUtf8(const char* text) {
    return tarq::cp1252ToUtf8(text);
}

int onCardData(const char* card) {
    std::printf("ECR card data: %s%s\n", card, opts.refuseCard ? " (refused)" : "");
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
    bool abort = interrupts.load() > 0 || tarq::ecr::abortKeyTyped();
    if (!abort && opts.abortAfterMs >= 0 && paymentRunning)
        abort = std::chrono::steady_clock::now() - paymentStart >=
                std::chrono::milliseconds(opts.abortAfterMs);
    if (abort) {
        static bool told = false;
        if (!told) std::printf("ECR: abort requested\n");
        told = true;
        std::fflush(stdout);
    }
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
            return "tarqRS.ini not readable beside the library";
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
        "                        or in ../ or ../lib; tarqRS.ini must lie beside it)\n"
        "  --currency N          currency code (default 578)\n"
        "  --merchant C          merchant indicator character (default 1)\n"
        "  --ext-card            ask the terminal for an external-card confirmation\n"
        "  --ext-card-answer N   answer to the confirmation question (1 accept, 2 reject)\n"
        "  --signature N         answer to the signature question (1 accept, 2 reject)\n"
        "  --refuse-card         refuse the card data\n"
        "  --abort-after MS      abort the payment after MS milliseconds\n"
        "During a payment, Ctrl-C (or the key a and Enter) aborts the payment.\n");
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
    interrupts.store(0);
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

// The command line as calls, or an error text; nothing is run before all of it is read.
std::string parseCommands(const std::vector<std::string>& words, std::vector<Call>& calls) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const Command* command = nullptr;
        for (const Command& c : kCommands)
            if (c.word == w) command = &c;
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
            call.args.push_back(kind == Arg::Number ? std::atoi(a.c_str())
                                                    : static_cast<int>(parseAmount(a)));
        }
        calls.push_back(std::move(call));
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarqecr: %s needs a value\n", argv[i]);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--lib")
            opts.lib = value();
        else if (a == "--currency")
            opts.currency = std::atoi(value().c_str());
        else if (a == "--merchant")
            opts.merchIn = value()[0];
        else if (a == "--ext-card")
            opts.confirmExtCard = 1;
        else if (a == "--ext-card-answer")
            opts.extCardAnswer = std::atoi(value().c_str());
        else if (a == "--signature")
            opts.signatureAnswer = std::atoi(value().c_str());
        else if (a == "--refuse-card")
            opts.refuseCard = true;
        else if (a == "--abort-after")
            opts.abortAfterMs = std::atoi(value().c_str());
        else if (a.starts_with("--")) {
            usage(stderr);
            return 2;
        } else
            words.emplace_back(a);
    }
    if (words.empty()) {
        usage(stderr);
        return 2;
    }
    if (opts.lib.empty()) opts.lib = tarq::ecr::defaultLibrary(argv[0]);
    // Refuse a mistyped command line before anything reaches the terminal.
    std::vector<Call> calls;
    if (const std::string error = parseCommands(words, calls); !error.empty()) {
        std::fprintf(stderr, "tarqecr: %s\n", error.c_str());
        return 2;
    }

    DriverApi api;
    if (!api.load(opts.lib)) {
        std::fprintf(stderr, "tarqecr: %s\n", api.error.c_str());
        return 1;
    }
    tarq::ecr::catchInterrupt(onInterrupt);

    api.trqInitCallback(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(&onCardData));
    api.trqInitCallback(TRQ_CB_PRINT_RECEIPT, reinterpret_cast<void*>(&onReceipt));
    api.trqInitCallback(TRQ_CB_DISPLAY_STATUS, reinterpret_cast<void*>(&onDisplay));
    api.trqInitCallback(TRQ_CB_ABORT_QUERY, reinterpret_cast<void*>(&onAbortQuery));
    api.trqInitCallback(TRQ_CB_EXT_CARD_CONFIRM, reinterpret_cast<void*>(&onExtCardConfirm));
    api.trqInitCallback(TRQ_CB_VERSIG_CONFIRM, reinterpret_cast<void*>(&onSignature));
    api.trqInitCallback(TRQ_CB_ADVICE_FLAG, reinterpret_cast<void*>(&onAdvice));

    const bool explicitOpen =
        std::any_of(calls.begin(), calls.end(), [](const Call& c) { return c.command->opens; });
    auto report = [](const char* name, Meaning kind, int r) {
        std::printf("ECR result of %s: %d (%s)\n", name, r, meaning(kind, r));
        std::fflush(stdout);
    };

    if (!explicitOpen) {
        const int r = api.trqOpen("", 0);
        report("open", Meaning::Open, r);
        if (r != TRQ_OPEN_OK && r != TRQ_OPEN_ALREADY) {
            api.trqCloseRS232();
            return 1;
        }
    }
    for (const Call& call : calls) {
        const Command& c = *call.command;
        const std::string word(c.word);
        const char* name = c.reportAs ? c.reportAs : word.c_str();
        Meaning kind = c.meaning;
        if (kind == Meaning::Admin && call.args[0] == TRQ_ADMIN_ISSUER)
            name = "issuer";
        else if (kind == Meaning::Admin)
            kind = Meaning::Operation;
        report(name, kind, c.run(api, call.args));
    }
    if (!explicitOpen) report("close", Meaning::Close, api.trqCloseRS232());
    return 0;
}
