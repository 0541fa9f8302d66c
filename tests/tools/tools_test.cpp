// The two programs as a user runs them: the simulator on a pseudo-terminal it creates, and the
// ECR command line loading the driver beside its tarqRS.ini.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A child process with its standard output and error in a file.
class Child {
  public:
    Child(std::vector<std::string> args, fs::path out) : out_(std::move(out)) {
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&files);
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    std::string output() const {
        std::ifstream in(out_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Waits until the output contains `text`; false when the time is up first.
    bool waitFor(const std::string& text, int seconds) {
        return poll(seconds, [&] { return output().find(text) != std::string::npos; });
    }
    // Waits for the end and returns the exit status (-1: not ended normally in time).
    int finish(int seconds) {
        int status = 0;
        reaped_ =
            pid_ > 0 && poll(seconds, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
        return reaped_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void signal(int sig) { kill(pid_, sig); }

  private:
    template <typename Done> static bool poll(int seconds, Done done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    fs::path out_;
    pid_t pid_ = -1;
    bool reaped_ = false;
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

    std::unique_ptr<Child> spawn(std::vector<std::string> args) {
        return std::make_unique<Child>(args, dir_ / ("out" + std::to_string(++children_)));
    }

    // Starts the simulator and writes tarqRS.ini for its pseudo-terminal.
    std::unique_ptr<Child> simulator(std::vector<std::string> settings) {
        std::vector<std::string> args{TARQ_SIM_EXE, "--log", (dir_ / "terminal.log").string(),
                                      "--exit-on-close"};
        args.insert(args.end(), settings.begin(), settings.end());
        auto sim = spawn(args);
        EXPECT_TRUE(sim->waitFor("\n", 10)) << sim->output();
        const std::string out = sim->output();
        const std::string prefix = "terminal on ";
        const auto at = out.find(prefix);
        EXPECT_NE(at, std::string::npos) << out;
        const auto from = at == std::string::npos ? out.size() : at + prefix.size();
        const std::string pty = out.substr(from, out.find('\n', from) - from);
        std::ofstream(dir_ / "tarqRS.ini") << "[DEVICE]\n\"" << pty << "\"\n[BAUDRATE]\n\"9600\"\n";
        return sim;
    }

    std::unique_ptr<Child> ecr(std::vector<std::string> args) {
        args.insert(args.begin(), {TARQ_ECR_EXE, "--lib", (dir_ / "libtarqdriver.so").string()});
        return spawn(args);
    }

    fs::path dir_;
    int children_ = 0;
};

TEST_F(Tools, CtrlCAbortsThePaymentInsteadOfEndingTheTill) {
    auto sim = simulator({"--card-delay=4000"});
    auto till = ecr({"purchase", "20"});
    ASSERT_TRUE(till->waitFor("SETT INN KORT", 20)) << till->output();
    till->signal(SIGINT);
    EXPECT_EQ(till->finish(60), 0) << till->output();
    const std::string out = till->output();
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
    const std::string out = till->output();
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
    auto a = spawn({TARQ_SIM_EXE, "--result=abc"});
    EXPECT_EQ(a->finish(10), 2);
    EXPECT_NE(a->output().find("bad value 'abc' for result"), std::string::npos) << a->output();
    EXPECT_EQ(spawn({TARQ_SIM_EXE, "--no-such-setting"})->finish(10), 2);
    // A line that cannot open: a refusal that comes after the open shows its result line.
    std::ofstream(dir_ / "tarqRS.ini") << "[DEVICE]\n\"/dev/no-such-tty\"\n[BAUDRATE]\n\"9600\"\n";
    for (const std::vector<std::string>& words : {std::vector<std::string>{"purchase", "12.345"},
                                                  {"purchase", "10", "bogus-command"},
                                                  {"admin"}}) {
        auto till = ecr(words);
        EXPECT_EQ(till->finish(10), 2) << till->output();
        EXPECT_EQ(till->output().find("ECR result of open"), std::string::npos) << till->output();
    }
    auto bogus = ecr({"bogus-command"});
    EXPECT_EQ(bogus->finish(10), 2);
    EXPECT_EQ(bogus->output(), "tarqecr: unknown command 'bogus-command'\n");
}

} // namespace
