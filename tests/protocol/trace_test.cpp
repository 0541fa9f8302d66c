// The trace file log.trq and the console trace, as built with both switches on.
#include "core/config.h"
#include "core/context.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace tarq::test {
namespace {

namespace fs = std::filesystem;

// The trace file goes to the current directory, so each test works in a directory of its own.
class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        dir_ = fs::path(::testing::TempDir()) / ("tarq_trace_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        fs::current_path(dir_);
        resetDriverContext();
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static std::string contents(const char* file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path previous_;
    fs::path dir_;
};

TEST_F(TraceTest, LinesGoToFileAndConsole) {
    ::testing::internal::CaptureStdout();
    writeLog("sendCardTransaction", 3);
    initGlobals();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "sendCardTransaction 3\ninitGlobals 0\n");
    EXPECT_EQ(contents("log.trq"), "sendCardTransaction 3\ninitGlobals 0\n");
}

TEST_F(TraceTest, ReadingTheConfigurationStartsTheFileAnew) {
    writeLog("old", 1);
    std::ofstream("tarqRS.ini") << "[BAUDRATE]\n\"9600\"\n";
    const std::string path = (dir_ / "tarqRS.ini").string();
    std::copy(path.begin(), path.end(), ctx.iniPath.begin());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ReadParameters(), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(contents("log.trq"), " ");
}

TEST_F(TraceTest, UnwritableFileIsReported) {
    fs::create_directory("log.trq"); // a directory cannot be opened as the trace file
    ::testing::internal::CaptureStdout();
    writeLog("x", 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "The file 'log.trq' was not opened\nx 0\n");
}

} // namespace
} // namespace tarq::test
