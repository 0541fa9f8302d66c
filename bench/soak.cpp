// tarq_soak: thousands of payments and commands through the loaded library, over a pseudo-terminal,
// against the simulated terminal injecting link faults at random. After each call it checks the
// cash register's view against the terminal's journal: same result, at most one payment request,
// every receipt printed once, the call ended within its bound; at the end, no memory growth.
//   tarq_soak [--ops N] [--seed S] [--fault-rate P] [--fast] [--report-every N] [--keep]
#include "link/prs232_posix.h"
#include "tools/driver_api.h"
#include "tools/sim/journal.h"
#include "tools/sim/terminal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <pty.h>
#include <random>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;
using tarq::sim::JournalEvent;
using EvKind = JournalEvent::Kind;

// The driver's patience: 95 s for the next terminal message, 10 s for an answer, and a frame
// may go out four times with 4 s for each acknowledgement.
constexpr double kNoMessageS = 95, kNoAnswerS = 10, kRetransmitS = 4 * 4 + 2;
constexpr long kRssMarginKiB = 2048;
constexpr int kRssBaselineCall = 100; // memory is compared with its level after this call

// What the cash register's callbacks do in the current call, and what they saw.
struct Till {
    int cardAnswer = 1, extCardAnswer = 1, verSigAnswer = 1;
    int abortAt = 0; // answer yes at this abort question (0: never)
    int abortQuestions = 0;
    std::vector<std::string> printed;
} till;

void registerCallbacks(tarq::ecr::DriverApi& api) {
    const auto set = [&](int kind, auto fn) {
        api.trqInitCallback(kind, reinterpret_cast<void*>(+fn));
    };
    set(TRQ_CB_SET_CARDDATA, [](const char*) { return till.cardAnswer; });
    set(TRQ_CB_PRINT_RECEIPT, [](int, const char* t) {
        till.printed.emplace_back(t);
        return 1;
    });
    set(TRQ_CB_DISPLAY_STATUS, [](const char*, const char*) {});
    set(TRQ_CB_ABORT_QUERY, [] { return ++till.abortQuestions == till.abortAt ? 1 : 0; });
    set(TRQ_CB_EXT_CARD_CONFIRM, [] { return till.extCardAnswer; });
    set(TRQ_CB_VERSIG_CONFIRM, [] { return till.verSigAnswer; });
    set(TRQ_CB_ADVICE_FLAG, [] {});
}

long rssKiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Call {
    std::string kind;
    std::function<int(tarq::ecr::DriverApi&)> run;
    int refusedWith = -1; // the driver refuses it before the line: this code, no request
    int adminCode = -1;
    int issuer = -1;
};

struct Counts {
    std::map<std::string, int> calls;
    int mismatches = 0, doubles = 0, linkDoubles = 0, overruns = 0, strays = 0, receiptFaults = 0;
};

int purchase(tarq::ecr::DriverApi& a, int type, int amount, int confirmExtCard) {
    return a.trqNorTransaction(type, amount, 578, '1', confirmExtCard, amount, "", "", 0, 0, "", "",
                               "");
}

// Draws the next call and sets the terminal and the till up for it.
Call draw(std::mt19937& rng, tarq::sim::Config& cfg, bool fast) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const int amount = 50 + pick(200000);
    // Each receipt costs the driver's 600 ms pause: fast pacing prints on one call in four.
    cfg.receipts = fast ? (pick(4) == 0) : pick(3);
    till = Till{};
    const int r = pick(100);
    auto pay = [&](const char* kind, int type, int ext = 0) {
        return Call{kind, [=](auto& a) { return purchase(a, type, amount, ext); }};
    };
    if (r < 40) return pay("purchase", 0);
    if (r < 52) {
        const int type = 1 + pick(6);
        return pay(type == 5 ? "type 5" : "other type", type);
    }
    if (r < 58) {
        cfg.result = {51 + pick(20)};
        return pay("decline", 0);
    }
    if (r < 61) { // each "not ready" costs the driver's 6 s pause
        if (fast && pick(2)) return pay("purchase", 0);
        cfg.notReady = fast || pick(4) ? 1 : 9;
        return pay("not ready", 0);
    }
    if (r < 67) {
        cfg.terminalAbort = true;
        return pay("terminal abort", 0);
    }
    if (r < 76) {
        till.abortAt = 1 + pick(12);
        return pay("register abort", 0);
    }
    if (r < 79) {
        till.cardAnswer = 0;
        return pay("card refused", 0);
    }
    if (r < 84) {
        cfg.signature = true;
        till.verSigAnswer = pick(4) ? 1 : 0;
        return pay("signature", 0);
    }
    if (r < 89) {
        till.extCardAnswer = pick(4) ? 1 : 2;
        return pay("card confirmation", 0, 1);
    }
    if (r < 99) {
        static constexpr int codes[] = {1,  2,  4,  5,  6,  14, 15, 23, 25, 26,
                                        27, 29, 30, 31, 36, 37, 38, 40, 41, 8};
        const int code = codes[pick(std::size(codes))];
        cfg.adminResult = {pick(5) ? 0 : 3 + pick(2)};
        cfg.adminReceipts = fast ? (pick(4) == 0) : pick(3);
        Call c{code == 8 ? "restart" : "admin", [=](auto& a) { return a.trqNorAdmin(code, 0, 0); }};
        c.adminCode = code;
        if (code == 40) c.issuer = cfg.adminIssuer.front() = 1 + pick(9);
        return c;
    }
    Call c{"refused", [](auto& a) { return purchase(a, 7, 1000, 0); }};
    c.refusedWith = TRQ_ILLEGAL_TYPE;
    return c;
}

// The result the cash register should have got, given what the terminal concluded; -1 when any
// of the driver's no-conclusion codes is right.
int expectedResult(const Call& call, const std::vector<JournalEvent>& events) {
    if (call.refusedWith >= 0) return call.refusedWith;
    if (call.adminCode == TRQ_ADMIN_RESTART) return TRQ_RESTART_SENT;
    int result = -1;
    for (const auto& e : events)
        if (e.kind == EvKind::Result && e.delivered) result = e.value;
    if (result < 0) return -1;
    if (call.adminCode == TRQ_ADMIN_ISSUER)
        return result == 0 ? TRQ_ISSUER_BASE + call.issuer : result == 1 ? TRQ_ISSUER_BASE : result;
    return result;
}

struct Options {
    int ops = 200, reportEvery = 0;
    unsigned seed = 1;
    double faultRate = 0.02;
    bool fast = false, keep = false;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--ops")
            o.ops = std::atoi(v), ++i;
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(std::atol(v)), ++i;
        else if (a == "--fault-rate")
            o.faultRate = std::atof(v), ++i;
        else if (a == "--report-every")
            o.reportEvery = std::atoi(v), ++i;
        else if (a == "--fast")
            o.fast = true;
        else if (a == "--keep")
            o.keep = true;
        else {
            std::fprintf(stderr, "usage: tarq_soak [--ops N] [--seed S] [--fault-rate P] [--fast] "
                                 "[--report-every N] [--keep]\n");
            std::exit(2);
        }
    }
    return o;
}

void printTable(std::FILE* out, const Counts& c, tarq::sim::Journal& journal, int done,
                long rssStart, long rssEnd, double seconds) {
    std::fprintf(out, "---- %d calls in %.0f s (%.1f calls per minute)\n", done, seconds,
                 seconds > 0 ? done * 60.0 / seconds : 0.0);
    for (const auto& [kind, n] : c.calls)
        std::fprintf(out, "  call %-20s %6d\n", kind.c_str(), n);
    for (const auto& [kind, n] : journal.faultCounts())
        std::fprintf(out, "  fault %-19s %6d\n", kind.c_str(), n);
    std::fprintf(out,
                 "  mismatches %d, receipt faults %d, doubles %d, doubles by WACK resend %d, "
                 "stray requests %d, overruns %d\n",
                 c.mismatches, c.receiptFaults, c.doubles, c.linkDoubles, c.strays, c.overruns);
    if (rssStart >= 0)
        std::fprintf(out, "  RSS after %d calls %ld KiB, at the end %ld KiB\n", kRssBaselineCall,
                     rssStart, rssEnd);
    else
        std::fprintf(out, "  RSS baseline (after %d calls) not reached, at the end %ld KiB\n",
                     kRssBaselineCall, rssEnd);
    std::fflush(out);
}

std::string seqs(const std::vector<JournalEvent>& events) {
    std::string s;
    char buf[64];
    for (const auto& e : events) {
        if (e.kind == EvKind::Payment || e.kind == EvKind::Admin)
            std::snprintf(buf, sizeof buf, " request(seq %02X)", e.seq);
        else if (e.kind == EvKind::Fault)
            std::snprintf(buf, sizeof buf, " %s", e.text.c_str());
        else
            continue;
        s += buf;
    }
    return s;
}

// What the journal says about one call, checked against what the cash register got.
void checkCall(int n, const Call& call, int got, Steady::time_point start, Steady::time_point end,
               const std::vector<JournalEvent>& events, Counts& c, std::FILE* out) {
    int payments = 0, admins = 0;
    bool wackBetween = false;
    std::vector<std::string> sent;
    auto lastMessage = start;
    for (const auto& e : events) {
        if (e.at < end) lastMessage = std::max(lastMessage, e.at);
        if (e.kind == EvKind::Payment || e.kind == EvKind::Admin)
            (e.kind == EvKind::Payment ? payments : admins)++;
        if (e.kind == EvKind::Fault && e.text == "WACK" && payments + admins > 0)
            wackBetween = true;
        if (e.kind == EvKind::Receipt && e.delivered) sent.push_back(e.text);
    }
    const int want = expectedResult(call, events);
    const bool ok = want >= 0
                        ? got == want
                        : got == TRQ_NO_RESULT || got == TRQ_TIMEOUT || got == TRQ_NO_CONNECTION;
    auto report = [&](const char* what) {
        std::fprintf(out, "call %d (%s): %s: got %d, terminal concluded %d;%s\n", n,
                     call.kind.c_str(), what, got, want, seqs(events).c_str());
    };
    if (!ok) ++c.mismatches, report("result mismatch");
    if (call.refusedWith >= 0 && payments + admins > 0) ++c.strays, report("request sent");
    // A second request is a double charge whatever caused it; a WACK between is named.
    if (payments + admins > 1) {
        if (wackBetween)
            ++c.linkDoubles, report("request twice after WACK");
        else
            ++c.doubles, report("request twice");
    }
    if (sent != till.printed) ++c.receiptFaults, report("receipts differ");
    const bool concluded = want >= 0 && call.refusedWith < 0;
    const double tail = std::chrono::duration<double>(end - lastMessage).count();
    if (tail > (concluded ? kNoAnswerS : kNoMessageS) + kRetransmitS)
        ++c.overruns, report("call ran over its bound");
}

// The run's temporary directory, removed at the end unless kept.
struct TempDir {
    fs::path path;
    bool keep = false;
    TempDir() {
        char tmpl[] = "/tmp/tarq-soak-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty() && !keep) fs::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// The simulated terminal on a thread of its own, stopped and joined however the run ends.
class TerminalThread {
  public:
    explicit TerminalThread(tarq::sim::Terminal& terminal)
        : thread_([this, &terminal] { terminal.run(stop_); }) {}
    ~TerminalThread() { join(); }
    TerminalThread(const TerminalThread&) = delete;
    TerminalThread& operator=(const TerminalThread&) = delete;
    void join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void waitIdle(tarq::sim::Terminal& terminal) {
    const auto until = Steady::now() + std::chrono::seconds(30);
    int quiet = 0;
    while (quiet < 3 && Steady::now() < until) {
        quiet = terminal.idle() ? quiet + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A run that cannot go on: its reason on stderr (unbuffered), and the exit status.
int stopRun(const std::string& reason) {
    std::fprintf(stderr, "tarq_soak: %s\n", reason.c_str());
    return 1;
}

struct Pty {
    int master = -1, slave = -1;
    std::string name;
    bool open() {
        char buf[256] = {};
        if (openpty(&master, &slave, buf, nullptr, nullptr) != 0) return false;
        name = buf;
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        return true;
    }
    ~Pty() {
        if (slave >= 0) close(slave);
    }
};

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// The calls of the run against the terminal, counted in `c`; the run's RSS baseline (-1 when
// the run is shorter).
long runCalls(const Options& opt, tarq::ecr::DriverApi& api, tarq::sim::Terminal& terminal,
              tarq::sim::Journal& journal, const tarq::sim::Config& base, Counts& c,
              std::FILE* out) {
    std::mt19937 rng(opt.seed);
    long rssStart = -1;
    const auto t0 = Steady::now();
    for (int n = 1; n <= opt.ops; ++n) {
        tarq::sim::Config cfg = base;
        const Call call = draw(rng, cfg, opt.fast);
        terminal.reconfigure(cfg);
        ++c.calls[call.kind];
        const auto start = Steady::now();
        const int got = call.run(api);
        const auto end = Steady::now();
        waitIdle(terminal);
        checkCall(n, call, got, start, end, journal.take(), c, out);
        if (n == kRssBaselineCall) rssStart = rssKiB();
        if (opt.reportEvery > 0 && n % opt.reportEvery == 0 && n < opt.ops)
            printTable(out, c, journal, n, rssStart, rssKiB(),
                       std::chrono::duration<double>(Steady::now() - t0).count());
    }
    return rssStart;
}

int soak(const Options& opt, std::FILE* out) {
    TempDir dir;
    if (dir.path.empty()) return stopRun("cannot make a temporary directory");
    std::error_code ec;
    fs::copy_file(TARQ_DRIVER_LIB, dir.path / "libtarqdriver.so", ec);
    if (ec) return stopRun("cannot copy " TARQ_DRIVER_LIB ": " + ec.message());
    Pty pty;
    if (!pty.open()) return stopRun(std::string("openpty: ") + std::strerror(errno));
    std::ofstream(dir.path / "tarqRS.ini")
        << "[DEVICE]\n\"" << pty.name << "\"\n[BAUDRATE]\n\"115200\"\n";

    tarq::sim::Config base = tarq::sim::defaultConfig();
    base.faultRate = opt.faultRate;
    base.faultSeed = opt.seed;
    if (opt.fast) base.stepDelayMs = 5, base.cardDelayMs = 20;
    FilePtr log(std::fopen((dir.path / "terminal.log").c_str(), "w"), &std::fclose);
    if (!log) return stopRun("cannot write " + (dir.path / "terminal.log").string());
    tarq::sim::Journal journal;
    tarq::sim::Terminal terminal(tarq::PRS232_Adopt(pty.master), base, log.get());
    terminal.setJournal(&journal);
    TerminalThread thread(terminal);

    tarq::ecr::DriverApi api;
    if (!api.load((dir.path / "libtarqdriver.so").string())) return stopRun(api.error);
    registerCallbacks(api);
    if (const int rc = api.trqOpen("", 0); rc != TRQ_OPEN_OK) {
        api.trqCloseRS232();
        return stopRun("open gave " + std::to_string(rc));
    }
    waitIdle(terminal);
    journal.take();

    Counts c;
    const auto t0 = Steady::now();
    const long rssStart = runCalls(opt, api, terminal, journal, base, c, out);
    const double seconds = std::chrono::duration<double>(Steady::now() - t0).count();
    api.trqClose(0);
    thread.join();

    const long rssEnd = rssKiB();
    printTable(out, c, journal, opt.ops, rssStart, rssEnd, seconds);
    const bool grew = rssStart >= 0 && rssEnd > rssStart + kRssMarginKiB;
    if (grew) std::fprintf(out, "resident memory grew by %ld KiB\n", rssEnd - rssStart);
    const bool failed = c.mismatches || c.doubles || c.linkDoubles || c.strays || c.receiptFaults ||
                        c.overruns || grew;
    dir.keep = failed || opt.keep;
    if (dir.keep) std::fprintf(out, "kept %s (terminal.log has the frames)\n", dir.path.c_str());
    std::fprintf(out, "soak: %s\n", failed ? "FAILED" : "passed");
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    const Options opt = parse(argc, argv);
    // The driver writes progress lines to stdout; the table goes to the original one.
    std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    if (!out || !std::freopen("/dev/null", "w", stdout)) return stopRun("cannot set stdout aside");
    try {
        return soak(opt, out);
    } catch (const std::exception& e) {
        return stopRun(e.what());
    }
}
