// tarqsim: a payment terminal on a pseudo-terminal (or a serial device) for testing cash
// registers without hardware.
#include "link/prs232.h"
#include "link/prs232_posix.h"
#include "tools/sim/replay.h"
#include "tools/sim/terminal.h"

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
                 "  --scenario FILE  read settings from FILE ('key = value' per line)\n"
                 "  --log FILE       write the frame log to FILE instead of standard error\n"
                 "  --replay TRACE   play the terminal's side of a driver trace, compare the\n"
                 "                   driver's frames with it; exit 1 at the first difference\n"
                 "  --fast           with --replay: no recorded pauses\n"
                 "Settings (also in scenario files, without the dashes):\n%s",
                 tarq::sim::settingsHelp().c_str());
}

} // namespace

int main(int argc, char** argv) {
    tarq::sim::Config config = tarq::sim::defaultConfig();
    std::string device, link, logPath, replay;
    bool fast = false;
    unsigned baud = 9600;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarqsim: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else if (arg == "--device")
            device = value("--device");
        else if (arg == "--baud")
            baud = static_cast<unsigned>(std::atoi(value("--baud")));
        else if (arg == "--link")
            link = value("--link");
        else if (arg == "--replay")
            replay = value("--replay");
        else if (arg == "--fast")
            fast = true;
        else if (arg == "--log")
            logPath = value("--log");
        else if (arg == "--scenario") {
            if (auto error = tarq::sim::loadScenario(config, value("--scenario")); !error.empty()) {
                std::fprintf(stderr, "tarqsim: %s\n", error.c_str());
                return 2;
            }
        } else if (arg.starts_with("--")) {
            arg.remove_prefix(2);
            const auto eq = arg.find('=');
            const auto key = arg.substr(0, eq);
            const auto val = eq == std::string_view::npos ? std::string_view{} : arg.substr(eq + 1);
            if (auto error = tarq::sim::applySetting(config, key, val); !error.empty()) {
                std::fprintf(stderr, "tarqsim: %s\n", error.c_str());
                return 2;
            }
        } else {
            usage(stderr);
            return 2;
        }
    }

    std::FILE* log = stderr;
    if (!logPath.empty() && !(log = std::fopen(logPath.c_str(), "w"))) {
        std::fprintf(stderr, "tarqsim: cannot write %s\n", logPath.c_str());
        return 1;
    }

    tarq::PRS232_PORT* port = nullptr;
    int slave = -1;
    if (!device.empty()) {
        port = tarq::PRS232_Create(0, baud, device.c_str());
        if (!port) {
            std::fprintf(stderr, "tarqsim: cannot open %s\n", device.c_str());
            return 1;
        }
        std::printf("tarqsim: terminal on %s\n", device.c_str());
    } else {
        int master = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("tarqsim: openpty");
            return 1;
        }
        // The ECR's side starts raw, so the settings its port restores on close are raw too,
        // and the simulator keeps the slave open so the master never sees a hang-up between
        // connections.
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        port = tarq::PRS232_Adopt(master);
        if (!link.empty()) {
            unlink(link.c_str());
            if (symlink(name, link.c_str()) != 0) {
                std::perror("tarqsim: symlink");
                return 1;
            }
        }
        std::printf("tarqsim: terminal on %s\n", name);
    }
    std::fflush(stdout);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int rc = 0;
    if (!replay.empty()) {
        rc = tarq::sim::replayTrace(port, replay, fast, stdout, stopRequested);
    } else {
        tarq::sim::Terminal terminal(port, config, log);
        terminal.run(stopRequested);
    }
    if (!link.empty()) unlink(link.c_str());
    if (slave >= 0) close(slave);
    if (log != stderr) std::fclose(log);
    return rc;
}
