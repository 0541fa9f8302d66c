// tarqecr: the simplest real cash register. Loads the driver, registers callbacks that show
// what the terminal says, and runs operations given on the command line.
#include "tools/driver_api.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>
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

void onInterrupt(int) {
    // A Ctrl-C during a payment asks the terminal to abort; the third one ends the program.
    if (interrupts.fetch_add(1) >= 2) std::signal(SIGINT, SIG_DFL);
}

// Windows-1252 display and receipt texts shown on a UTF-8 console.
std::string toUtf8(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x80) {
            out += static_cast<char>(*p);
        } else if (*p >= 0xA0) { // Latin-1 part of Windows-1252
            out += static_cast<char>(0xC0 | *p >> 6);
            out += static_cast<char>(0x80 | (*p & 0x3F));
        } else {
            out += '?';
        }
    }
    return out;
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

bool keyAbort() {
    if (!isatty(STDIN_FILENO)) return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char buf[64];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i)
        if (buf[i] == 'a' || buf[i] == 'A') return true;
    return false;
}

int onAbortQuery() {
    bool abort = interrupts.load() > 0 || keyAbort();
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

const char* meaning(const std::string& op, int r) {
    if (op == "open") {
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
    if (op == "close") {
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
    if (op == "restart" && r == TRQ_RESTART_SENT) return "restart sent";
    if (op == "version" && r == TRQ_VERSION_PRINTED) return "version printed";
    if (op == "issuer" && r >= TRQ_ISSUER_BASE) return "20 + issuer number";
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

std::string defaultLibrary(const char* argv0) {
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : argv0;
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    for (const char* rel : {"libtarqdriver.so", "../libtarqdriver.so", "../lib/libtarqdriver.so"})
        if (access((dir + rel).c_str(), R_OK) == 0) return dir + rel;
    return "libtarqdriver.so";
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
    if (opts.lib.empty()) opts.lib = defaultLibrary(argv[0]);
    // Refuse a mistyped command line before anything reaches the terminal.
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const bool takesAmount = w == "purchase" || w == "refund" || w == "card-transaction";
        if ((takesAmount || w == "transaction") &&
            (i + 1 + (w == "transaction") >= words.size() ||
             parseAmount(words[i + 1 + (w == "transaction")]) < 0)) {
            std::fprintf(stderr, "tarqecr: %s needs an amount such as 12.50\n", w.c_str());
            return 2;
        }
        if (w == "admin" && i + 1 >= words.size()) {
            std::fprintf(stderr, "tarqecr: admin needs a code\n");
            return 2;
        }
    }

    DriverApi api;
    if (!api.load(opts.lib)) {
        std::fprintf(stderr, "tarqecr: %s\n", api.error.c_str());
        return 1;
    }
    std::signal(SIGINT, onInterrupt);

    api.trqInitCallback(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(&onCardData));
    api.trqInitCallback(TRQ_CB_PRINT_RECEIPT, reinterpret_cast<void*>(&onReceipt));
    api.trqInitCallback(TRQ_CB_DISPLAY_STATUS, reinterpret_cast<void*>(&onDisplay));
    api.trqInitCallback(TRQ_CB_ABORT_QUERY, reinterpret_cast<void*>(&onAbortQuery));
    api.trqInitCallback(TRQ_CB_EXT_CARD_CONFIRM, reinterpret_cast<void*>(&onExtCardConfirm));
    api.trqInitCallback(TRQ_CB_VERSIG_CONFIRM, reinterpret_cast<void*>(&onSignature));
    api.trqInitCallback(TRQ_CB_ADVICE_FLAG, reinterpret_cast<void*>(&onAdvice));

    bool explicitOpen = false;
    for (const auto& w : words)
        if (w == "open" || w == "open-rs232") explicitOpen = true;

    int last = 0;
    bool failed = false;
    auto report = [&](const std::string& op, int r) {
        std::printf("ECR result of %s: %d (%s)\n", op.c_str(), r, meaning(op, r));
        std::fflush(stdout);
        last = r;
    };
    auto amountArg = [&](std::size_t& i) -> int {
        if (i + 1 >= words.size() || parseAmount(words[i + 1]) < 0) {
            std::fprintf(stderr, "tarqecr: %s needs an amount such as 12.50\n", words[i].c_str());
            std::exit(2);
        }
        return static_cast<int>(parseAmount(words[++i]));
    };
    auto pay = [&](int type, int amount, int purchase) {
        interrupts.store(0);
        paymentStart = std::chrono::steady_clock::now();
        paymentRunning = true;
        const int r =
            api.trqNorTransaction(type, amount, opts.currency, opts.merchIn, opts.confirmExtCard,
                                  purchase, "", "", 0, 0, "", "", "");
        paymentRunning = false;
        return r;
    };

    if (!explicitOpen) {
        const int r = api.trqOpen("", 0);
        report("open", r);
        if (r != TRQ_OPEN_OK && r != TRQ_OPEN_ALREADY) {
            api.trqCloseRS232();
            return 1;
        }
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "open")
            report("open", api.trqOpen("", 0));
        else if (w == "open-rs232")
            report("open", api.trqOpenRS232());
        else if (w == "close")
            report("close", api.trqClose(0));
        else if (w == "close-rs232")
            report("close", api.trqCloseRS232());
        else if (w == "purchase") {
            const int a = amountArg(i);
            report(w, pay(0, a, a));
        } else if (w == "refund") {
            const int a = amountArg(i);
            report(w, pay(1, a, a));
        } else if (w == "transaction") {
            if (i + 2 >= words.size()) {
                std::fprintf(stderr, "tarqecr: transaction needs TYPE AMOUNT\n");
                return 2;
            }
            const int type = std::atoi(words[++i].c_str());
            const int a = amountArg(i);
            int purchase = a;
            if (i + 1 < words.size() && parseAmount(words[i + 1]) >= 0)
                purchase = static_cast<int>(parseAmount(words[++i]));
            report(w, pay(type, a, purchase));
        } else if (w == "card-transaction") {
            const int a = amountArg(i);
            report(w, api.trqCardTransaction(0, a, opts.currency, opts.merchIn, 0));
        } else if (w == "report")
            report(w, api.trqTermReport());
        else if (w == "end-of-day")
            report(w, api.trqEndOfDay());
        else if (w == "clock-sync-host")
            report(w, api.trqClockSyncHost());
        else if (w == "clock-sync")
            report(w, api.trqClockSyncKelmo());
        else if (w == "restart")
            report(w, api.trqRestartTerm());
        else if (w == "test")
            report(w, api.trqTestConnection());
        else if (w == "last-receipt")
            report(w, api.trqLastReceipt());
        else if (w == "total")
            report(w, api.trqTotalReport());
        else if (w == "last-end-of-day")
            report(w, api.trqLastEndOfDayReport());
        else if (w == "parameters")
            report(w, api.trqParameterReport());
        else if (w == "log")
            report(w, api.trqLog());
        else if (w == "employee")
            report(w, api.trqEmployeeReport());
        else if (w == "version")
            report(w, api.trqNorAdmin(TRQ_ADMIN_VERSION, 0, 0));
        else if (w == "admin") {
            if (i + 1 >= words.size()) {
                std::fprintf(stderr, "tarqecr: admin needs a code\n");
                return 2;
            }
            const int code = std::atoi(words[++i].c_str());
            report(code == TRQ_ADMIN_ISSUER ? "issuer" : w, api.trqNorAdmin(code, 0, 0));
        } else {
            std::fprintf(stderr, "tarqecr: unknown command '%s'\n", w.c_str());
            failed = true;
            break;
        }
    }
    if (!explicitOpen) report("close", api.trqCloseRS232());
    (void)last;
    return failed ? 2 : 0;
}
