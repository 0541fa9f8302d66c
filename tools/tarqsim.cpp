// tarqsim: a payment terminal on a pseudo-terminal (or a serial device) for testing cash
// registers without hardware.
#include "link/prs232.h"
#include "link/prs232_posix.h"
#include "tools/sim/replay.h"
#include "tools/sim/tcp.h"
#include "tools/sim/terminal.h"
#include "tools/version.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <string_view>
#include <termios.h>
#include <unistd.h>

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested.store(true);
}

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: tarqsim [options] [--SETTING[=VALUE] ...]\n"
                 "  --device PATH    use this serial device instead of a new pseudo-terminal\n"
                 "  --baud N         line speed for --device (default 9600)\n"
                 "  --link PATH      also make PATH a symbolic link to the pseudo-terminal\n"
                 "  --tcp HOST:PORT  listen there instead ([IPv6]; port 0: any free one); one\n"
                 "                   connection at a time, a new one replaces the old one\n"
                 "  --scenario FILE  read settings from FILE ('key = value' per line)\n"
                 "  --log FILE       write the frame log to FILE instead of standard error\n"
                 "  --replay TRACE   play the terminal's side of a driver trace, compare the\n"
                 "                   driver's frames with it; exit 1 at the first difference\n"
                 "                   or a frame beyond the recording, 2 for a file that holds\n"
                 "                   no frames or a malformed one\n"
                 "  --session N      with --replay: the Nth open of the line in the trace up to\n"
                 "                   the next (default: from the start up to the second open)\n"
                 "  --fast           with --replay: no recorded pauses\n"
                 "  --version        print the version and end\n"
                 "Settings (also in scenario files, without the dashes):\n%s",
                 tarq::sim::settingsHelp().c_str());
}

struct Options {
    tarq::sim::Config config = tarq::sim::defaultConfig();
    std::string device, link, logPath, replay, tcp;
    bool fast = false;
    int session = 0;
    unsigned baud = 9600;
};

// A setting given as --key[=value]; the refusal, or empty.
std::string applyArg(tarq::sim::Config& config, std::string_view arg) {
    arg.remove_prefix(2);
    const auto eq = arg.find('=');
    const auto key = arg.substr(0, eq);
    const auto val = eq == std::string_view::npos ? std::string_view{} : arg.substr(eq + 1);
    return tarq::sim::applySetting(config, key, val);
}

// A number of digits only, 1 to 9999999; 0 (and `error` set, unless it is already) otherwise.
int positive(const std::string& v, const char* name, std::string& error) {
    const bool ok = !v.empty() && v.size() < 8 && v.find_first_not_of("0123456789") == v.npos;
    const int n = ok ? std::atoi(v.c_str()) : 0;
    if (n < 1 && error.empty()) error = "bad number '" + v + "' for " + name;
    return n;
}

// The command line into `o`; an exit status when the program ends here, else -1.
int parseArgs(int argc, char** argv, Options& o) {
    std::string error;
    for (int i = 1; i < argc && error.empty(); ++i) {
        std::string_view arg = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 < argc) return argv[++i];
            error = std::string(name) + " needs a value";
            return {};
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else if (arg == "--version") {
            tarq::tools::printVersion("tarqsim");
            return 0;
        } else if (arg == "--device")
            o.device = value("--device");
        else if (arg == "--baud")
            o.baud = static_cast<unsigned>(positive(value("--baud"), "--baud", error));
        else if (arg == "--link")
            o.link = value("--link");
        else if (arg == "--tcp")
            o.tcp = value("--tcp");
        else if (arg == "--replay")
            o.replay = value("--replay");
        else if (arg == "--session")
            o.session = positive(value("--session"), "--session", error);
        else if (arg == "--fast")
            o.fast = true;
        else if (arg == "--log")
            o.logPath = value("--log");
        else if (arg == "--scenario")
            error = tarq::sim::loadScenario(o.config, value("--scenario"));
        else if (arg.starts_with("--"))
            error = applyArg(o.config, arg);
        else {
            usage(stderr);
            return 2;
        }
    }
    if (!o.tcp.empty() && (!o.replay.empty() || !o.device.empty()) && error.empty())
        error = "--tcp goes with neither --replay nor --device";
    if (!error.empty()) std::fprintf(stderr, "tarqsim: %s\n", error.c_str());
    return error.empty() ? -1 : 2;
}

// A new pseudo-terminal (its name in `name`, its slave in `slave`), or nullptr.
tarq::PRS232_PORT* openPseudoTerminal(std::string& name, int& slave) {
    int master = -1;
    char buf[256] = {};
    if (openpty(&master, &slave, buf, nullptr, nullptr) != 0) {
        std::perror("tarqsim: openpty");
        return nullptr;
    }
    name = buf;
    // The ECR's side starts raw, so the settings its port restores on close are raw too, and
    // the simulator keeps the slave open so the master never sees a hang-up between
    // connections.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    return tarq::PRS232_Adopt(master);
}

// Removes the link unless a newer simulator has made it point at its own line meanwhile.
void removeOwnLink(const std::string& link, const std::string& target) {
    char buf[256] = {};
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && target == std::string(buf, static_cast<std::size_t>(n))) unlink(link.c_str());
}

// The terminal behind a TCP port until a signal stops it; the exit status.
int serveTcp(const Options& o, std::FILE* log) {
    int port = 0;
    const int fd = tarq::sim::listenTcp(o.tcp, port);
    if (fd < 0) return 1;
    std::printf("tarqsim: terminal on tcp://%s:%d\n", o.tcp.substr(0, o.tcp.rfind(':')).c_str(),
                port);
    std::fflush(stdout);
    tarq::sim::serveTcp(fd, o.config, log, stopRequested);
    close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int rc = parseArgs(argc, argv, o); rc >= 0) return rc;
    std::FILE* log = stderr;
    if (!o.logPath.empty() && !(log = std::fopen(o.logPath.c_str(), "w"))) {
        std::fprintf(stderr, "tarqsim: cannot write %s\n", o.logPath.c_str());
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    if (!o.tcp.empty()) {
        const int rc = serveTcp(o, log);
        if (log != stderr) std::fclose(log);
        return rc;
    }

    tarq::PRS232_PORT* port = nullptr;
    int slave = -1;
    std::string name = o.device;
    if (!o.device.empty()) {
        port = tarq::PRS232_Create(0, o.baud, o.device.c_str());
        if (!port) std::fprintf(stderr, "tarqsim: cannot open %s\n", o.device.c_str());
    } else if ((port = openPseudoTerminal(name, slave)) && !o.link.empty()) {
        unlink(o.link.c_str());
        if (symlink(name.c_str(), o.link.c_str()) != 0) {
            std::perror("tarqsim: symlink");
            return 1;
        }
    }
    if (!port) return 1;
    std::printf("tarqsim: terminal on %s\n", name.c_str());
    std::fflush(stdout);

    int rc = 0;
    if (!o.replay.empty()) {
        rc = tarq::sim::replayTrace(port, o.replay, o.fast, stdout, stopRequested, o.session);
    } else {
        tarq::sim::Terminal terminal(port, o.config, log);
        terminal.run(stopRequested);
    }
    if (!o.link.empty() && o.device.empty()) removeOwnLink(o.link, name);
    if (slave >= 0) close(slave);
    if (log != stderr) std::fclose(log);
    return rc;
}
