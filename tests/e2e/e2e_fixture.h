// End-to-end fixture: the real driver library (a private copy, so its tarqRS.ini is this test's
// own) talks over a real pseudo-terminal to the simulated terminal running on the master side in
// a thread. The driver is reached only through its exported C operations. Each test runs in its
// own process (gtest_discover_tests), so the driver's process-wide state starts fresh.
#pragma once

#include "link/prs232_posix.h"
#include "tests/support/pty_pair.h"
#include "tools/driver_api.h"
#include "tools/sim/terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

// What the cash register's callbacks saw, and how they answer.
struct Recorder {
    std::vector<std::pair<std::string, std::string>> display;
    std::vector<std::pair<int, std::string>> receipts;
    std::vector<std::string> cards;
    int abortQueriesAfterYes = 0;
    bool abortAnswered = false;
    std::function<bool()> abortWhen; // answers yes once when this first holds
    int cardAnswer = 1;
    int extCardAnswer = 1;
    int extCardQuestions = 0;
    int signatureAnswer = 1;
    int signatureQuestions = 0;

    bool displayed(const std::string& line1Prefix) const {
        for (const auto& [l1, l2] : display)
            if (l1.rfind(line1Prefix, 0) == 0) return true;
        return false;
    }
    void clearSeen() {
        display.clear();
        receipts.clear();
        cards.clear();
        abortQueriesAfterYes = 0;
        abortAnswered = false;
        abortWhen = nullptr;
    }
};

inline Recorder rec;

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
        rec = Recorder{};
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
        auto set = [this](int kind, auto fn) {
            api().trqInitCallback(kind, reinterpret_cast<void*>(+fn));
        };
        set(TRQ_CB_SET_CARDDATA, [](const char* text) {
            rec.cards.emplace_back(text);
            return rec.cardAnswer;
        });
        set(TRQ_CB_PRINT_RECEIPT, [](int segment, const char* text) {
            rec.receipts.emplace_back(segment, text);
            return 1;
        });
        set(TRQ_CB_DISPLAY_STATUS,
            [](const char* l1, const char* l2) { rec.display.emplace_back(l1, l2); });
        set(TRQ_CB_ABORT_QUERY, [] {
            if (rec.abortAnswered) {
                ++rec.abortQueriesAfterYes;
                return 0;
            }
            rec.abortAnswered = rec.abortWhen && rec.abortWhen();
            return rec.abortAnswered ? 1 : 0;
        });
        set(TRQ_CB_EXT_CARD_CONFIRM, [] {
            ++rec.extCardQuestions;
            return rec.extCardAnswer;
        });
        set(TRQ_CB_VERSIG_CONFIRM, [] {
            ++rec.signatureQuestions;
            return rec.signatureAnswer;
        });
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

    // Runs body with standard output captured; returns what the driver printed.
    template <typename Body> std::string captured(Body&& body) {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        body();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    void expectRows(std::span<const OpCase> rows) {
        for (const OpCase& c : rows) {
            SCOPED_TRACE(c.name);
            int r = -1;
            const std::string out = captured([&] { r = c.run(api()); });
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
