// End to end: a private copy of the real library (its tarqRS.ini the test's own) over a real pty
// (or loopback TCP) to the simulated terminal; one process per test (the state is process-wide).
#pragma once

#include "link/prs232_posix.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/cash_register.h"
#include "tests/support/pty_pair.h"
#include "tools/driver_api.h"
#include "tools/sim/tcp.h"
#include "tools/sim/terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarq::e2e {

namespace fs = std::filesystem;
using Settings = std::vector<std::pair<std::string, std::string>>;
using ecr::DriverApi;
using std::to_string;

inline test::CashRegister rec; // the callbacks are plain functions: one recorder per process

// A row: an operation (or connection step), its result, all it printed, the code received or -1.
struct Row {
    std::function<int(DriverApi&)> run;
    int expected;
    std::string printed;
    int sent = -1;
};
inline int pay(DriverApi& a, int type, int amount, int purchase = 0, int extCard = 0) {
    return a.trqNorTransaction(type, amount, 578, '1', extCard, purchase, "", "", 0, 0, "", "", "");
}
inline std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}
class E2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarq-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::copy_file(TARQ_DRIVER_LIB, dir_ / "libtarqdriver.so");
        ASSERT_TRUE(api_.load((dir_ / "libtarqdriver.so").string())) << api_.error;
    }
    void TearDown() override {
        stopTerminal();
        if (!HasFailure()) fs::remove_all(dir_);
    }
    // A new simulated terminal with these settings on a new line; tarqRS.ini points at it.
    void startTerminal(const Settings& settings = {}, const std::string& ini = "") {
        stopTerminal();
        sim::Config config = sim::defaultConfig();
        config.stepDelayMs = 50;
        config.cardDelayMs = 150;
        for (const auto& [k, v] : settings)
            ASSERT_EQ(sim::applySetting(config, k, v), "") << k;
        log_ = std::fopen((dir_ / "terminal.log").c_str(), "a");
        stop_ = false;
        if (!tcp_.empty()) { // the port found at the first start is kept for the next ones
            int port = 0;
            ASSERT_GE(listen_ = sim::listenTcp(tcp_, port), 0);
            tcp_ = tcp_.substr(0, tcp_.rfind(':') + 1) + to_string(port);
            thread_ = std::thread([this, config] { sim::serveTcp(listen_, config, log_, stop_); });
            return writeIni("tcp://" + tcp_, ini);
        }
        pty_ = std::make_unique<test::PtyPair>();
        if (!line_.empty()) fs::create_symlink(pty_->slaveName(), line_);
        terminal_ =
            std::make_unique<sim::Terminal>(PRS232_Adopt(dup(pty_->master())), config, log_);
        thread_ = std::thread([this] { terminal_->run(stop_); });
        writeIni(line_.empty() ? pty_->slaveName() : line_.string(), ini);
    }
    void stopTerminal() {
        if (!thread_.joinable()) return;
        stop_ = true;
        thread_.join();
        terminal_.reset();
        std::fclose(std::exchange(log_, nullptr));
        pty_.reset();
        if (!line_.empty()) fs::remove(line_); // as the by-id link of an adapter pulled out
        if (listen_ >= 0) close(std::exchange(listen_, -1));
    }
    void writeIni(const std::string& tty, const std::string& more = "") {
        std::ofstream(dir_ / "tarqRS.ini") << "[DEVICE]\n\"" << tty << "\"\n[BAUDRATE]\n\"9600\"\n"
                                           << more;
    }
    void registerCallbacks() {
        rec.registerWith([this](int kind, void* fn) { api_.trqInitCallback(kind, fn); });
    }
    // Callbacks registered and the line opened to a new terminal with these settings.
    void session(const Settings& settings, const std::string& ini = "") {
        registerCallbacks();
        startTerminal(settings, ini);
        ASSERT_EQ(api_.trqOpenRS232(), TRQ_OPEN_OK); // opens as trqOpen("127.0.0.1", 2000)
        rec.clearSeen();
    }
    std::string terminalLog() {
        if (log_) std::fflush(log_);
        return slurp(dir_ / "terminal.log");
    }
    bool logged(const std::string& text) { return terminalLog().find(text) != std::string::npos; }
    void expectRows(const std::vector<Row>& rows) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            SCOPED_TRACE(::testing::Message() << "row " << i << ": " << row.printed);
            const std::size_t seen = terminalLog().size();
            int r = -1;
            EXPECT_EQ(test::captureStdout([&] { r = row.run(api_); }), row.printed);
            EXPECT_EQ(r, row.expected);
            char sent[32]; // the codes are below 256
            std::snprintf(sent, sizeof sent, "D2 PTAG_ADMIN [00 %02X]", row.sent);
            const auto at = terminalLog().find(row.sent < 0 ? "PTAG_ADMIN" : sent, seen);
            EXPECT_EQ(at != std::string::npos, row.sent >= 0);
        }
    }

    fs::path dir_;
    DriverApi api_;
    std::unique_ptr<test::PtyPair> pty_;
    fs::path line_;   // set: the pseudo-terminal is reached through this link, made anew each start
    std::string tcp_; // set ("HOST:PORT", port 0: a free one): the terminal listens there instead
    int listen_ = -1;
    std::unique_ptr<sim::Terminal> terminal_;
    std::FILE* log_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace tarq::e2e
