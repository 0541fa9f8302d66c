// tarqRS.ini: parsing rules, DEVICE, a missing file, and where the file is looked for.
#include "core/config.h"
#include "protocol_fixture.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace tarq::test {
namespace {

namespace fs = std::filesystem;

#if defined(TARQ_TRACE_FILE) || defined(TARQ_TRACE_CONSOLE)
constexpr bool TARQ_TRACE_ON = true;
#else
constexpr bool TARQ_TRACE_ON = false;
#endif

class ConfigTest : public ProtocolTest {
  protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        dir_ = fs::path(::testing::TempDir()) /
               ("tarq_config_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        use(dir_ / "tarqRS.ini");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        ProtocolTest::TearDown();
    }
    void use(const fs::path& p) {
        const std::string s = p.string();
        ASSERT_LT(s.size(), ctx.iniPath.size());
        std::copy(s.begin(), s.end(), ctx.iniPath.begin());
        ctx.iniPath[s.size()] = '\0';
    }
    void write(const std::string& content) {
        std::ofstream(ctx.iniPath.data(), std::ios::binary) << content;
    }
    int read() {
        int r = 0;
        printed = captureStdout([&] { r = ReadParameters(); });
        return r;
    }
    fs::path dir_;
};

TEST_F(ConfigTest, FilesAndWhatTheyGive) {
    struct Case {
        const char* name;
        std::string content;
        int result, comPort, baudRate;
        const char* printed;
    };
    const Case cases[] = {
        {"plain", "[COMPORT]\n\"1\"\n[BAUDRATE]\n\"9600\"\n", 0, 1, 9600, "ReadParameters 1\n"},
        {"low 8 bits", "[COMPORT]\n\"300\"\n[BAUDRATE]\n\"19200\"\n", 0, 44, 19200,
         "ReadParameters 3\n"},
        {"label before quote", "[COMPORT]\n port = \"3\"\n[BAUDRATE]\nspeed \"115200\"\n", 0, 3,
         115200, "ReadParameters 3\n"},
        {"any order, CRLF", "[BAUDRATE]\r\n\"9600\"\r\n[COMPORT]\r\n\"2\"\r\n", 0, 2, 9600,
         "ReadParameters 2\n"},
        {"first section counts", "[COMPORT]\n\"4\"\n[COMPORT]\n\"5\"\n[BAUDRATE]\n\"1200\"\n", 0, 4,
         1200, "ReadParameters 4\n"},
        {"lower case key", "[comport]\n\"6\"\n[BAUDRATE]\n\"9600\"\n", 0, 77, 9600, ""},
        {"no baud rate", "[COMPORT]\n\"1\"\n", -1, 1, 555, "ReadParameters 1\n"},
        {"section is last line", "[BAUDRATE]\n\"2400\"\n[COMPORT]", 0, 77, 2400, ""},
        {"section consumed as value line", "[BAUDRATE]\n[COMPORT]\n\"8\"\n", 0, 8, 0,
         "ReadParameters 8\n"},
        {"no quote on value line", "[COMPORT]\n7\n[BAUDRATE]\n\"9600\"\n", 0, 0, 9600,
         "ReadParameters  \n"},
        {"text after the bracket", "[COMPORT] serial\n\"9\"\n[BAUDRATE]\n\"9600\"\n", 0, 9, 9600,
         "ReadParameters 9\n"},
        {"key with prefix does not match", "[XCOMPORT]\n\"9\"\n[BAUDRATE]\n\"9600\"\n", 0, 77, 9600,
         ""},
        // Lines are read in pieces of 99 characters: a longer section line's rest is taken as the
        // value line, and a quote beyond the first piece is not found there.
        {"long section line",
         "[COMPORT]" + std::string(120, 'x') + "\n\"5\"\n[BAUDRATE]\n\"9600\"\n", 0, 0, 9600,
         "ReadParameters  \n"},
        {"quote beyond the first piece", "[BAUDRATE]\n" + std::string(110, ' ') + "\"9600\"\n", 0,
         77, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ctx.comPort = 77;
        ctx.baudRate = 555;
        write(c.content);
        EXPECT_EQ(read(), c.result);
        EXPECT_EQ(ctx.comPort, c.comPort);
        EXPECT_EQ(ctx.baudRate, c.baudRate);
        EXPECT_EQ(printed, c.printed);
    }
}

TEST_F(ConfigTest, MissingFileKeepsFieldsAndSaysSoTwice) {
    use(dir_ / "absent.ini");
    ctx.comPort = 3;
    ctx.baudRate = 9600;
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(printed, "ReadParameters - error\nReadParameters - error\n");
    EXPECT_EQ(ctx.comPort, 3);
    EXPECT_EQ(ctx.baudRate, 9600);
}

TEST_F(ConfigTest, ValueCopyStopsAtTheEndOfTheLine) {
    write("[BAUDRATE]\n\"96\"");
    std::array<char, 20> dest{};
    dest.fill('#');
    EXPECT_EQ(readIniValue(dest.data(), ctx.iniPath.data(), "BAUDRATE", dest.size()), 0);
    EXPECT_EQ(std::string(dest.data(), dest.size()), "96\"                 ");
}

struct DeviceCase {
    const char* name;
    std::string content;
    int result;
    std::string device;
};

TEST_F(ConfigTest, DeviceEntry) {
    const std::string byId = "/dev/serial/by-id/usb-Example_Serial_Adapter_0042-if00-port0";
    const std::string longest = "/dev/" + std::string(250, 'd');
    const DeviceCase cases[] = {
        {"usb", "[DEVICE]\n\"/dev/ttyUSB0\"\n[BAUDRATE]\n\"9600\"\n", 0, "/dev/ttyUSB0"},
        {"by-id, no COMPORT", "[BAUDRATE]\n\"9600\"\n[DEVICE]\n\"" + byId + "\"\n", 0, byId},
        {"windows", "[DEVICE]\r\npath=\"\\\\.\\COM23\"\r\n[BAUDRATE]\n\"9600\"\n", 0,
         "\\\\.\\COM23"},
        {"255 characters", "[DEVICE]\n\"" + longest + "\"\n[BAUDRATE]\n\"9600\"\n", 0, longest},
        {"256 characters is not cut", "[DEVICE]\n\"" + longest + "x\"\n[BAUDRATE]\n\"9600\"\n", 0,
         ""},
        {"no closing quote", "[DEVICE]\n\"/dev/ttyS0\n[BAUDRATE]\n\"9600\"\n", 0, ""},
        {"absent", "[COMPORT]\n\"1\"\n[BAUDRATE]\n\"9600\"\n", 0, ""},
        {"absent, no baud rate", "[DEVICE]\n\"/dev/ttyS1\"\n", -1, "/dev/ttyS1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy_n("/dev/stale", 11, ctx.devicePath.begin()); // an earlier read
        write(c.content);
        EXPECT_EQ(read(), c.result);
        EXPECT_EQ(std::string(ctx.devicePath.data()), c.device);
    }
}

TEST_F(ConfigTest, PathIsBesideTheLoadedFile) {
    ctx.iniPath.fill('#');
    ASSERT_EQ(getDriverDll(), 1);
    const std::string path(ctx.iniPath.data());
    ASSERT_LT(path.size(), ctx.iniPath.size());
    const fs::path p(path);
    EXPECT_EQ(p.filename(), "tarqRS.ini");
    // The test program carries the core statically, so the file is looked for beside it.
    EXPECT_TRUE(fs::equivalent(p.parent_path() / fs::read_symlink("/proc/self/exe").filename(),
                               "/proc/self/exe"));
}

TEST_F(ConfigTest, TraceIsOffByDefault) {
    if constexpr (TARQ_TRACE_ON) GTEST_SKIP() << "built with trace";
    const bool existed = fs::exists("log.trq");
    ::testing::internal::CaptureStdout();
    writeLog("initGlobals", 0);
    write("[BAUDRATE]\n\"9600\"\n");
    ReadParameters();
    printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "");
    if (!existed) {
        EXPECT_FALSE(fs::exists("log.trq"));
    }
}

} // namespace
} // namespace tarq::test
