// The two programs as a user runs them: the simulator on a pseudo-terminal it creates, and the
// ECR command line loading the driver beside its tarqRS.ini.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A child process with its standard output (and error) on a pipe.
class Child {
  public:
    explicit Child(std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads output until it contains `text` or the time is up; true when found.
    bool waitFor(const std::string& text, int seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }
    // Reads to the end of its output and returns the exit status (-1: not ended normally in time).
    int finish(int seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (readSome(200) || (!eof_ && std::chrono::steady_clock::now() < end)) {
        }
        int status = 0;
        if (!eof_ || waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void signal(int sig) { kill(pid_, sig); }
    const std::string& output() const { return output_; }

  private:
    bool readSome(int timeoutMs) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        eof_ = n <= 0;
        if (eof_) return false;
        output_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    bool eof_ = false;
    std::string output_;
};

class Tools : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarq-tools-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::copy_file(TARQ_DRIVER_LIB, dir_ / "libtarqdriver.so");
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }

    // Starts the simulator and writes tarqRS.ini for its pseudo-terminal.
    std::unique_ptr<Child> simulator(std::vector<std::string> settings) {
        std::vector<std::string> args{TARQ_SIM_EXE, "--log", (dir_ / "terminal.log").string(),
                                      "--exit-on-close"};
        args.insert(args.end(), settings.begin(), settings.end());
        auto sim = std::make_unique<Child>(args);
        EXPECT_TRUE(sim->waitFor("\n", 10)) << sim->output();
        const std::string prefix = "tarqsim: terminal on ";
        const auto at = sim->output().find(prefix);
        EXPECT_NE(at, std::string::npos) << sim->output();
        if (at == std::string::npos) return sim;
        const auto eol = sim->output().find('\n', at);
        const std::string pty = sim->output().substr(at + prefix.size(), eol - at - prefix.size());
        std::ofstream(dir_ / "tarqRS.ini") << "[DEVICE]\n\"" << pty << "\"\n[BAUDRATE]\n\"9600\"\n";
        return sim;
    }

    std::unique_ptr<Child> ecr(std::vector<std::string> args) {
        std::vector<std::string> all{TARQ_ECR_EXE, "--lib", (dir_ / "libtarqdriver.so").string()};
        all.insert(all.end(), args.begin(), args.end());
        return std::make_unique<Child>(all);
    }

    fs::path dir_;
};

TEST_F(Tools, CtrlCAbortsThePaymentInsteadOfEndingTheTill) {
    auto sim = simulator({"--card-delay=4000"});
    auto till = ecr({"purchase", "20"});
    ASSERT_TRUE(till->waitFor("SETT INN KORT", 20)) << till->output();
    till->signal(SIGINT);
    EXPECT_EQ(till->finish(60), 0) << till->output();
    const std::string& out = till->output();
    EXPECT_NE(out.find("ECR: abort requested"), std::string::npos) << out;
    EXPECT_NE(out.find("ECR result of purchase: 17"), std::string::npos) << out;
    EXPECT_NE(out.find("ECR result of close: 0"), std::string::npos) << out;
}

TEST_F(Tools, ScenarioFileAndSeveralCommands) {
    std::ofstream(dir_ / "declines.txt") << "# declines the first payment, approves the next\n"
                                            "result = 10,0\n"
                                            "receipts 1\n"
                                            "admin-result = 0\n";
    auto sim = simulator({"--scenario", (dir_ / "declines.txt").string()});
    auto till = ecr({"open", "purchase", "1,5", "purchase", "2.00", "report", "log", "close"});
    EXPECT_EQ(till->finish(60), 0);
    const std::string& out = till->output();
    for (const char* line : {
             "ECR result of open: 100 (open)",
             "ECR display: [SETT INN KORT       ] [                    ]",
             "KJ\xC3\x98P      NOK 2,00", // the receipt, as UTF-8
             "ECR result of purchase: 10",
             "ECR result of purchase: 0 (approved / done)",
             "ECR result of report: 0",
             "ECR result of log: 9 (not available)",
             "ECR result of close: 0 (closed)",
         })
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(sim->finish(10), 0); // it exits after the close
    std::ifstream log(dir_ / "terminal.log");
    const std::string frames((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(frames.find("amount=150 "), std::string::npos); // "1,5" is 1.50
    EXPECT_NE(frames.find("amount=200 "), std::string::npos);
}

TEST_F(Tools, BadSettingsAreRefused) {
    Child a({TARQ_SIM_EXE, "--result=abc"});
    EXPECT_EQ(a.finish(10), 2);
    EXPECT_NE(a.output().find("bad value 'abc' for result"), std::string::npos) << a.output();
    Child b({TARQ_SIM_EXE, "--no-such-setting"});
    EXPECT_EQ(b.finish(10), 2);
    auto till = ecr({"purchase", "12.345"});
    EXPECT_EQ(till->finish(10), 2);
}

} // namespace
