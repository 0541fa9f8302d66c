// End-to-end fixture: the real driver library (a private copy, so its tarqRS.ini is this test's
// own) talks over a real pseudo-terminal to the simulated terminal running on the master side in
// a thread. The driver is reached only through its exported C operations. Each test runs in its
// own process (gtest_discover_tests), so the driver's process-wide state starts fresh.
#pragma once

#include "link/prs232_posix.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/cash_register.h"
#include "tests/support/pty_pair.h"
#include "tools/driver_api.h"
#include "tools/sim/terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tarq::e2e {

namespace fs = std::filesystem;

inline test::CashRegister rec; // the callbacks are plain functions: one recorder per process

// An exported operation as a table entry: TARQ_OP(trqNorAdmin(3, 0, 0)).
using Op = int (*)(ecr::DriverApi&);
#define TARQ_OP(...) [](ecr::DriverApi& a) { return a.__VA_ARGS__; }

// A row of a table of operations: the result and everything printed.
struct OpCase {
    const char* name;
    Op run;
    int expected;
    const char* printed;
};

class E2E : public ::testing::Test {
  protected:
    void SetUp() override {
        rec = test::CashRegister{};
        char tmpl[] = "/tmp/tarq-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::copy_file(TARQ_DRIVER_LIB, dir_ / "libtarqdriver.so");
    }

    void TearDown() override {
        if (api_ && terminal_) api_->trqClose(0); // leave no link (or port) behind
        stopTerminal();
        api_.reset();
        if (!HasFailure())
            fs::remove_all(dir_);
        else
            std::fprintf(stderr, "kept %s (terminal.log has the frames)\n", dir_.c_str());
    }

    // Starts the simulated terminal with the given settings and points tarqRS.ini at it.
    void startTerminal(std::vector<std::pair<std::string, std::string>> settings = {}) {
        sim::Config config = sim::defaultConfig();
        config.stepDelayMs = 50;
        config.cardDelayMs = 150;
        for (const auto& [k, v] : settings)
            ASSERT_EQ(sim::applySetting(config, k, v), "") << k;
        pty_ = std::make_unique<test::PtyPair>();
        PRS232_PORT* port = PRS232_Adopt(dup(pty_->master()));
        ASSERT_NE(port, nullptr);
        log_ = std::fopen((dir_ / "terminal.log").c_str(), "w");
        ASSERT_NE(log_, nullptr);
        stop_ = false;
        terminal_ = std::make_unique<sim::Terminal>(port, config, log_);
        thread_ = std::thread([this] { terminal_->run(stop_); });
        writeIni("[DEVICE]\n\"" + pty_->slaveName() + "\"\n[BAUDRATE]\n\"115200\"\n");
    }

    void stopTerminal() {
        if (!terminal_) return;
        stop_ = true;
        thread_.join();
        terminal_.reset();
        std::fclose(log_);
        pty_.reset();
    }

    void writeIni(const std::string& text) { std::ofstream(dir_ / "tarqRS.ini") << text; }

    ecr::DriverApi& api() {
        if (!api_) {
            api_ = std::make_unique<ecr::DriverApi>();
            EXPECT_TRUE(api_->load((dir_ / "libtarqdriver.so").string())) << api_->error;
        }
        return *api_;
    }

    void registerCallbacks() {
        rec.registerWith([this](int kind, void* fn) { api().trqInitCallback(kind, fn); });
    }

    // Terminal started, callbacks registered, line opened.
    void openWith(std::vector<std::pair<std::string, std::string>> settings = {}) {
        startTerminal(std::move(settings));
        registerCallbacks();
        ASSERT_EQ(api().trqOpen("", 0), TRQ_OPEN_OK);
    }

    int purchase(int amount = 1250, int confirmExtCard = 0) {
        return api().trqNorTransaction(0, amount, 578, '1', confirmExtCard, amount, "", "", 0, 0,
                                       "", "", "");
    }

    std::string terminalLog() {
        std::fflush(log_);
        std::ifstream in(dir_ / "terminal.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    void expectRows(std::span<const OpCase> rows) {
        for (const OpCase& c : rows) {
            SCOPED_TRACE(c.name);
            int r = -1;
            const std::string out = test::captureStdout([&] { r = c.run(api()); });
            EXPECT_EQ(r, c.expected);
            EXPECT_EQ(out, c.printed);
        }
    }

    fs::path dir_;
    std::unique_ptr<test::PtyPair> pty_;
    std::unique_ptr<sim::Terminal> terminal_;
    std::unique_ptr<ecr::DriverApi> api_;
    std::FILE* log_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Seconds taken by body, for the few checks of "returns without waiting".
template <typename Body> double secondsFor(Body&& body) {
    const auto t0 = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace tarq::e2e
