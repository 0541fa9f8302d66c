// Terminal messages into events, lines, fields; answers into bytes; tarqRS.ini; the till's texts.
#include "core/callbacks.h"
#include "core/config.h"
#include "core/console.h"
#include "driver/request.h"
#include "link/pkiss.h"
#include "link/wipe.h"
#include "link/wiretap.h"
#include "protocol/answer.h"
#include "protocol/cardmask.h"
#include "protocol/parser.h"
#include "protocol/tags.h"
#include "protocol/trace.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/clock.h"
#include "tests/support/memscan.h"
#include "tests/support/terminal.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace tarq::test {
namespace {

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override { resetDriverContext(), parserFreeEvent(); }
    void TearDown() override { parserFreeEvent(), resetDriverContext(); }
    static Bytes M(std::uint8_t tag, const Bytes& value = {}) { return message(tag, value); }
    static Bytes M(std::uint8_t tag, const char* value) { return message(tag, text(value)); }
    ManualClock clock_;
    ScopedClock scoped_{clock_};
    std::string printed;
};

// The state a row names, as "KEY=value;..." in the row's own order and keys.
std::string state(const std::string& keys) {
    const char* receipt = ctx.gstReceiptData.data();
    const std::map<std::string, std::int32_t DriverContext::*> ints = {
        {"RES", &DriverContext::gstResultData},        {"ISS", &DriverContext::issuerID},
        {"TAG", &DriverContext::tagIssuerID},          {"T2", &DriverContext::track2Length},
        {"T2R", &DriverContext::track2LengthReceived}, {"CARD", &DriverContext::cardReceived},
        {"SEG", &DriverContext::receiptSegment},       {"POLL", &DriverContext::callAbortFunc}};
    std::map<std::string, std::string> now = {
        {"L1", line(ctx.statusLine1)},
        {"L2", line(ctx.statusLine2)},
        {"RCPT", std::string(receipt, strnlen(receipt, RECEIPT_SIZE))}};
    for (const auto& [key, field] : ints)
        now[key] = std::to_string(ctx.*field);
    std::istringstream in(keys);
    std::string out, item;
    while (std::getline(in, item, ';')) {
        const std::string key = item.substr(0, item.find('='));
        out += (out.empty() ? "" : ";") + key + "=" + now[key];
    }
    return out;
}

// Request (O open, P pay, A admin), messages (the last looked at), event (-1: none), lines, state.
constexpr RequestKind O = RequestKind::open, P = RequestKind::payment, A = RequestKind::admin;
using Row = std::tuple<RequestKind, std::vector<Bytes>, int, std::string, std::string>;
const auto R = [](RequestKind kind, std::vector<Bytes> m, int event, std::string p, std::string s) {
    return Row(kind, std::move(m), event, std::move(p), std::move(s));
};

TEST_F(ProtocolTest, MessagesGiveEventLineAndFields) {
    const Bytes card = M(PTAG_TERM_CARD, Bytes(25, 0x11)), t2 = M(PTAG_TRACK2_LENGTH, {0, 19});
    const std::string cut1001 = "RCPT=" + std::string(RECEIPT_SIZE, 'r'),
                      done = "PTAG_TRANS_COMPLETED = ";
    const Row rows[] = {
        R(O, {M(0xC0)}, PEVENT_OPEN, "PTAG_TERM_OPEN\n", ""),
        R(O, {message({element(0xC0), element(0xC1)})}, PEVENT_CLOSE,
          "PTAG_TERM_OPEN\nPTAG_TERM_CLOSE\n", ""),
        R(O, {message({element(0xCB), element(0xDE, {5})})}, PEVENT_CONFIRM, "PTAG_CONFIRM\n",
          "TAG=5"),
        R(O, {M(0xD1)}, PEVENT_ADVICE_FLAG, "PTAG_ADVICE_FLAG\n", ""),
        R(O, {M(0xD4)}, PEVENT_VERSIG_ASK, "PTAG_VER_SIG\n", ""),
        R(O, {M(0xCE, "VISA")}, PEVENT_EMPTY, "PTAG_TERM_CARDNAME\n", "SEG=1"),
        R(O, {M(0xCA)}, PEVENT_EMPTY, "PTAG_UNKNOWN\n", ""), Row(O, {message({})}, -1, "", ""),
        R(O, {M(0xCD, {7})}, PEVENT_IDLE, "", "RES=7"),
        R(O, {M(0xCD)}, PEVENT_EMPTY, "", "RES=1"), // too short for its layout: ignored
        R(O, {M(0xDA)}, PEVENT_EMPTY, "", "SEG=0"),
        R(O, {M(0xDB, {1, 2})}, PEVENT_EMPTY, "", "T2=258;T2R=1"),
        R(O, {M(0xDB, {0x7F})}, PEVENT_EMPTY, "", "T2=19;T2R=0"),
        R(O, {card}, PEVENT_CARDSWIPE, "", "CARD=1"),
        R(O, {M(0xC7, "0123456789ABCDEFGHIJKL")}, PEVENT_STATUS, "",
          "POLL=1;L1=0123456789ABCDEFGHIJ"),
        R(O, {M(0xC7, Bytes(1001, 'x')), M(0xC7, Bytes(1002, 'y'))}, PEVENT_STATUS, "",
          "L1=xxxxxxxxxxxxxxxxxxxx"),
        R(O, {M(0xC7, "ARBEJDER...")}, PEVENT_STATUS, "PTAG_STATUS1 --\n", "POLL=0"),
        R(O, {M(0xC8, "ARBEJDER"), M(0xC7, "VENT")}, PEVENT_STATUS, "PTAG_STATUS1 --\n", "POLL=0"),
        R(O, {M(0xC7, "ABORTED")}, PEVENT_STATUS, "", "POLL=1"),
        R(O, {M(0xC8, "TRANS ABORTED")}, PEVENT_STATUS, "PTAG_STATUS2 ____\n", "POLL=0"),
        R(O, {M(0xC7, "TERMINAL BLOKKERT"), M(0xC9)}, PEVENT_EMPTY, "PTAG_TERM_ABORT\n",
          "POLL=0;L1=TERMINAL BLOKKERT   ;L2=AVBR FRA TERMINAL   "),
        R(O, {M(0xC7, "TERMINAL BLOKKER"), M(0xC9)}, PEVENT_EMPTY, "PTAG_TERM_ABORT\n",
          "L1=AVBR FRA TERMINAL   "),
        R(A, {M(0xCC, Bytes(1500, 'r'))}, PEVENT_RECEIPT, "", cut1001),
        R(O, {M(0xCC, "OLD")}, PEVENT_RECEIPT, "", "RCPT=OLD"), // only a payment has a card
        R(P, {M(0xCC, "OLD")}, PEVENT_RECEIPT, "",
          "RCPT=;L1=INGEN KVITTERING    ;L2=TA KOPI SISTE TRANS."),
        R(P, {card, t2, M(0xCC, "NEW")}, PEVENT_RECEIPT, "", "RCPT=NEW"),
        R(A, {M(0xDD, Bytes{0})}, PEVENT_TRANS_COMPLETED, done + "0, issuerID=0\n", "RES=0"),
        R(A, {completed(5, 9)}, PEVENT_TERM_NOT_READY, done + "5, issuerID=9\n", "ISS=9"),
        R(A, {message({element(0xDD, {3}), element(0xCA)})}, PEVENT_NO_RECEIPT,
          done + "3, issuerID=0\nPTAG_UNKNOWN\n", ""),
        R(A, {M(0xDD, {4})}, PEVENT_NO_LOG, done + "4, issuerID=0\n", ""),
        R(A, {M(0xDD)}, PEVENT_EMPTY, "", "RES=1"), // too short for its layout: ignored
        // In a payment a success before this payment's card and its length is an earlier one's.
        R(P, {card, completed(0, 7)}, PEVENT_TRANS_COMPLETED, done + "0, issuerID=7\n",
          "RES=1;ISS=0"),
        R(P, {card, t2, completed(26, 7)}, PEVENT_TRANS_COMPLETED, done + "26, issuerID=7\n",
          "RES=26;ISS=7"),
        R(P, {completed(26, 7)}, PEVENT_TRANS_COMPLETED, done + "26, issuerID=7\n", "RES=1;ISS=0"),
        R(P, {completed(27, 7)}, PEVENT_TRANS_COMPLETED, done + "27, issuerID=7\n", "RES=27;ISS=7"),
        R(P, {completed(22, 7)}, PEVENT_TRANS_COMPLETED, done + "22, issuerID=7\n", "RES=22;ISS=7"),
        R(P, {completed(27, 7)}, PEVENT_TRANS_COMPLETED, done + "27, issuerID=7\n", "RES=27")};
    for (const auto& [kind, messages, expectedEvent, expectedPrinted, expect] : rows) {
        SCOPED_TRACE(::testing::PrintToString(messages.back()));
        initGlobals();
        ctx.requestKind = kind;
        ctx.callAbortFunc = 1;
        SA_EVENT* event = nullptr;
        for (const Bytes& m : messages) {
            ctx.ecrRequestsAnswer = ctx.verSigPending = 1;
            clock_.advanceMs(3000);
            ctx.receivedLength = BER_check(m.data(), static_cast<std::uint32_t>(m.size()));
            TLV* tree = BER2TLV(m.data(), static_cast<std::uint32_t>(ctx.receivedLength));
            printed = captureStdout([&] { event = parserHandleTlv(tree); });
        }
        EXPECT_EQ(event ? event->event_id : -1, expectedEvent);
        EXPECT_EQ(printed, expectedPrinted);
        EXPECT_EQ(state(expect), expect);
        // Any element ends the wait for an answer and the signature question.
        EXPECT_EQ(ctx.ecrRequestsAnswer + ctx.verSigPending, event ? 0 : 2);
        EXPECT_EQ(ctx.lastSendTime, event ? nowSeconds() : ctx.lastSendTime);
    }
}

// Builds and encodes an answer into the transport's 90-byte buffer; empty when none is built.
Bytes send(std::uint32_t type, std::string& printed) {
    SA_ANSWER answer;
    answer.answer_ID = type;
    TLV* tree = nullptr;
    printed = captureStdout([&] { tree = parserSendAnswer(&answer); });
    std::array<std::uint8_t, 90> buffer{};
    const std::uint32_t n = tree ? TLV2BER(tree, buffer.data(), buffer.size()) : 0;
    TLV_free(&tree);
    Bytes encoded(buffer.begin(), buffer.begin() + n);
    wipeBytes(buffer.data(), buffer.size()); // the stack scan below looks for the driver's copies
    return encoded;
}

TEST_F(ProtocolTest, AnswersExactBytes) {
    ctx.request.merchIn = 'K';
    ctx.request.currencyCode = 0x70242; // only the low 16 bits travel
    ctx.request.amount = 100000;
    ctx.adminCode = 0x17;
    ctx.gstPosReceiptInfo.receipts = 3;
    const std::string okPos = "PANSWER_OKPOS\nparserSendAnswer - ";
    const std::tuple<std::uint32_t, int, int, Bytes, std::string> rows[] = {
        {PANSWER_OPEN, 0, 0, {0xE1, 0x02, 0xC0, 0x00}, ""},
        {PANSWER_CLOSE, 0, 0, {0xE1, 0x02, 0xC1, 0x00}, ""},
        {PANSWER_STATUS1, 0, 0, {0xE1, 0x02, 0xC7, 0x00}, "PANSWER_STATUS1"},
        {2, 0, 0, {0xE1, 0x02, 0xC9, 0x00}, ""}, // the abort: answer 2 in the console's lines
        {PANSWER_REFUND, 0, 0, {0xE1, 0x02, 0xD6, 0x00}, "PANSWER_REFUND"},
        {PANSWER_CONFIRMEEXTCARD, 0, 0, {0xE1, 0x02, 0xD8, 0x00}, "PANSWER_CONFIRMEEXTCARD"},
        {PANSWER_MI, 0, 0, {0xE1, 0x03, 0xC4, 0x01, 'K'}, ""},
        {PANSWER_CURRENCYCODE, 0, 0, {0xE1, 0x04, 0xC3, 0x02, 0x02, 0x42}, ""},
        {PANSWER_ADMIN, 0, 0, {0xE1, 0x04, 0xD2, 0x02, 0x00, 0x17}, ""},
        {PANSWER_RECEIPTNUMBER, 0, 0, {0xE1, 0x03, 0xD7, 0x01, 0x03}, ""},
        {PANSWER_AMOUNT, 0, 0, {0xE1, 0x06, 0xC2, 0x04, 0x00, 0x01, 0x86, 0xA0}, ""},
        {PANSWER_NONE, 0, 0, {}, ""},
        {18, 0, 0, {0xE1, 0x00}, "DEFAULT"},
        {PANSWER_OKPOS, 3, 0, {0xE1, 0x02, PTAG_EXTPOSOK, 0x00}, okPos + "PTAG_EXTPOSOK"},
        {PANSWER_OKPOS, 2, 0, {0xE1, 0x02, PTAG_EXTPOSNOTOK, 0x00}, okPos + "PTAG_EXTPOSNOTOK"},
        {PANSWER_VERSIG, 0, 0, {0xE1, 0x02, PTAG_VER_SIG_NONE, 0x00}, "PANSWER_VERSIG"},
        {PANSWER_VERSIG, 0, 1, {0xE1, 0x02, PTAG_VER_SIG_OK, 0x00}, "PANSWER_VERSIG"},
        {PANSWER_VERSIG, 0, 2, {0xE1, 0x02, PTAG_VER_SIG, 0x00}, "PANSWER_VERSIG"}};
    for (const auto& [type, extCard, verSig, bytes, line] : rows) {
        ctx.extCardAnswer = extCard;
        ctx.verSigAnswer = verSig;
        EXPECT_EQ(send(type, printed), bytes) << type;
        EXPECT_EQ(printed, line.empty() ? "" : "parserSendAnswer - " + line + "\n");
    }
    // The payment record: type code, amounts most significant byte first, zero-filled texts; a
    // negative type (or 11 and above) sends the 81-byte record with the card data.
    auto& r = ctx.request;
    r.amount = -2; // sent as unsigned, never mangled
    r.purchaseAmount = 0x01020304;
    r.posData = {'P', 'O', 'S', '1'};
    r.dataToHost.fill('h'); // every field full: no byte cut
    std::copy_n("4571999988887777123", 19, r.cardNo.begin());
    r.expDate = {'1', '2', '2', '9'}, r.cvc = {'1', '2', '3'};
    Bytes fields = {0xFF, 0xFF, 0xFF, 0xFE, 1, 2, 3, 4, 'P', 'O', 'S', '1'};
    fields.resize(52, 'h');
    const Bytes card = text(std::string(2, '\0') + "4571999988887777123" + "1229123");
    const std::pair<std::int32_t, std::uint8_t> types[] = {
        {0, 0}, {2, 2}, {4, 0}, {5, 5}, {6, 6}, {7, 0}, {10, 0}, {11, 11}, {-1, 0}};
    for (auto [type, code] : types) {
        r.transactionType = type;
        const bool withCard = type < 0 || type >= 11;
        const Bytes head = withCard ? Bytes{0xE1, 0x53, 0xDC, 0x51} : Bytes{0xE1, 0x37, 0xD5, 0x35};
        EXPECT_EQ(send(PANSWER_NORTRANS, printed),
                  join(join(join(head, {code}), fields), withCard ? card : Bytes{}));
    }
    // The record leaves no copy in the answer's dead stack frame (built 16 KB below the scan's).
    const auto deep = [](auto& self, int kb) -> TLV* {
        std::array<volatile char, 1024> pad{};
        SA_ANSWER a{PANSWER_NORTRANS};
        return kb ? self(self, kb - pad[0] - 1) : parserSendAnswer(&a);
    };
    TLV* tree = deep(deep, 16);
    EXPECT_EQ(test::copiesInMemory("4571999988887777", "[stack]"), 0);
    TLV_free(&tree);
    // Through the transport: the pause before the receipt count, WACK resent 3 times 2 s apart.
    ScriptedTerminal terminal{clock_};
    pip_setLink(&terminal);
    terminal.sendResults.assign(4, PKISS_WACK_RESULT);
    SA_ANSWER count{PANSWER_RECEIPTNUMBER};
    const std::int64_t before = clock_.peek();
    EXPECT_EQ(sendECREvent(&count), PKISS_WACK_RESULT);
    EXPECT_EQ(clock_.peek() - before, 600 + 3 * 2000);
    EXPECT_EQ(terminal.sent.size(), 4u);
    pip_setLink(nullptr);
}

namespace fs = std::filesystem;

// Content; then result, port, speed (77 and 555 before), printed lines and device.
using Ini = std::tuple<std::string, int, int, int, std::string, std::string>;
const auto I = [](std::string c, int r, int port, int baud, std::string p, std::string d = "") {
    return Ini(std::move(c), r, port, baud, std::move(p), std::move(d));
};

TEST_F(ProtocolTest, ConfigurationFiles) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("tarq_ini_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "tarqRS.ini").string(), dev = "DEVICE in " + path + ": ";
    std::copy(path.begin(), path.end(), ctx.iniPath.begin());
    const std::string baud = "[BAUDRATE]\n\"9600\"\n", longest = "/dev/" + std::string(250, 'd'),
                      noBaud = "ReadParameters: no BAUDRATE value in " + path + "\n";
    const Ini rows[] = {
        // CONSOLE "0" silences every line, the next read without it not; no number: not off.
        I("[CONSOLE]\n\"x\"\n[COMPORT]\n\"2\"\n" + baud, 0, 2, 9600, "ReadParameters 2\n"),
        I("[CONSOLE]\n\"0\"\n[COMPORT]\n\"1\"\n" + baud, 0, 1, 9600, "unnamed:"),
        I("[COMPORT]\n\"1\"\n" + baud, 0, 1, 9600, "ReadParameters 1\n"),
        I("[COMPORT]\n\"300\"\n" + baud, 0, 44, 9600, "ReadParameters 3\n"), // low 8 bits
        I("[COMPORT]\n port = \"3\"\n[BAUDRATE]\nspeed \"115200\"\n", 0, 3, 115200,
          "ReadParameters 3\n"),
        I("[BAUDRATE]\r\n\"2400\"\r\n[COMPORT]\r\n\"2\"\r\n", 0, 2, 2400, "ReadParameters 2\n"),
        I("[COMPORT] x\n\"4\"\n[COMPORT]\n\"5\"\n" + baud, 0, 4, 9600, "ReadParameters 4\n"),
        I("[comport]\n\"6\"\n[XCOMPORT]\n\"6\"\n" + baud, 0, 77, 9600, ""), // keys match exactly
        I("[COMPORT]\n\"1\"\n[BAUDRATE]", -1, 1, 555, "ReadParameters 1\n" + noBaud), // no value
        I("[BAUDRATE]\n[COMPORT]\n\"8\"\n", 0, 8, 0, "ReadParameters 8\n"),
        I("[COMPORT]\n7\n" + baud, 0, 0, 9600, "ReadParameters  \n"), // no quote: blanks
        // Read in 99-char pieces: a section line's rest is the value line, a later quote unseen.
        I("[COMPORT]" + std::string(120, 'x') + "\n\"5\"\n" + baud, 0, 0, 9600,
          "ReadParameters  \n"),
        I("[BAUDRATE]\n" + std::string(110, ' ') + "\"9600\"\n", 0, 77, 0, ""),
        I(std::string(99, 'x') + "[COMPORT]\n\"6\"\n" + baud, 0, 6, 9600, "ReadParameters 6\n"),
        I("[BAUDRATE]\n\"96", 0, 77, 96, ""),
        // DEVICE names the port instead of COMPORT; an unusable value fails, opens nothing.
        I("[DEVICE]\npath=\"/dev/ttyUSB0\"\n" + baud, 0, 77, 9600, "", "/dev/ttyUSB0"),
        I("[DEVICE]\n\"" + longest + "\"\n" + baud, 0, 77, 9600, "", longest),
        I("[DEVICE]\n\"" + longest + "x\"\n" + baud, -1, 77, 9600,
          dev + "value longer than 255 characters\n"),
        I("[DEVICE]\n\"/dev/ttyS0\n" + baud, -1, 77, 9600, dev + "value has no closing quote\n"),
        I("[DEVICE]\n/dev/ttyUSB0\n[COMPORT]\n\"1\"\n" + baud, -1, 1, 9600,
          "ReadParameters 1\n" + dev + "value has no quotes\n"),
        I(baud + "[DEVICE]\n", -1, 77, 9600, dev + "value has no quotes\n"), // no value line
        I("[DEVICE]\n\"/dev/ttyS1\"\n", -1, 77, 555, noBaud, "/dev/ttyS1")};
    fs::remove("log.trq"); // written only by a build with the compile-time trace
    for (const Ini& r : rows) {
        SCOPED_TRACE(std::get<0>(r).substr(0, 40));
        ctx.comPort = 77;
        ctx.baudRate = 555;
        std::copy_n("/dev/stale", 11, ctx.devicePath.begin()); // never carried over
        std::ofstream(path, std::ios::binary) << std::get<0>(r);
        int result = 0;
        printed = captureStdout([&] { result = ReadParameters(); });
        const std::string named = "ReadParameters: read " + path + "\n"; // first, on every read
        printed = printed.starts_with(named) ? printed.substr(named.size()) : "unnamed:" + printed;
        EXPECT_EQ(
            Ini(std::get<0>(r), result, ctx.comPort, ctx.baudRate, printed, ctx.devicePath.data()),
            r);
    }
    EXPECT_FALSE(fs::exists("log.trq"));
    fs::remove(path); // none at all: each number key says so, then the cause
    printed = captureStdout([&] { EXPECT_EQ(ReadParameters(), -1); });
    EXPECT_EQ(printed,
              "ReadParameters - error\nReadParameters - error\nReadParameters: cannot read " +
                  path + ": No such file or directory\n");
    fs::remove_all(dir);
}

TEST(TextBounds, CardDataAndCashRegisterTexts) {
    // A length beyond the 19 bytes (exactly 19 on the heap), a small destination: no overrun.
    auto packed = std::make_unique<std::uint8_t[]>(CARD_DATA_LEN);
    std::fill_n(packed.get(), CARD_DATA_LEN, 0x12);
    for (std::int32_t n : {19, 20, 0x7FFFFFFF}) {
        auto out = std::make_unique<char[]>(CARD_TEXT_SIZE);
        trqTransformCarddata(out.get(), CARD_TEXT_SIZE, packed.get(), n);
        EXPECT_EQ(std::string(out.get()).size(), 2 * CARD_DATA_LEN);
    }
    std::array<char, 5> small{}; // just room for two bytes of digits and the terminator
    trqTransformCarddata(small.data(), small.size(), packed.get(), 19);
    EXPECT_EQ(std::string(small.data()), "1212");
    // The last half-byte above 9 is no digit; only the last byte has a filler.
    const std::uint8_t filler[] = {0x1A, 0x3A};
    trqTransformCarddata(small.data(), small.size(), filler, 2);
    EXPECT_EQ(std::string(small.data()), "1:3");
    const std::uint8_t nine[] = {0x12, 0x39}; // a last half-byte of 9 is a digit
    trqTransformCarddata(small.data(), small.size(), nine, 2);
    EXPECT_EQ(std::string(small.data()), "1239");
    trqTransformCarddata(small.data(), 1, nine, 2); // room for the terminator alone
    EXPECT_EQ(std::string(small.data()), "");
    // A full receipt reaches the till as 1000 characters; with no signature routine, not confirmed.
    static std::size_t receiptLength = 0;
    resetDriverContext();
    ctx.gstReceiptData.fill('r');
    ctx.trqPrintReceipt = [](int, const char* t) { return receiptLength = std::strlen(t), 1; };
    EXPECT_EQ(invokePrintReceipt(), 1);
    EXPECT_EQ(receiptLength, 1000U);
    EXPECT_EQ(invokeVerSigConfirm(), 0);
    // tarqRS.ini beside the library in 260 bytes, not 261; else the fallback, if it exists.
    const std::string deep = "/" + std::string(247, 'd') + "/",
                      tmp = ::testing::TempDir() + "tarq_etc" + std::to_string(getpid()) + "/";
    const std::string etc = tmp + "etc.ini", here = tmp + "tarqRS.ini",
                      long260 = tmp + std::string(260 - tmp.size(), 'e'); // no room for its end
    fs::create_directories(tmp), std::ofstream(etc) << "", std::ofstream(here) << "";
    std::ofstream(long260) << "";
    const std::tuple<std::string, const char*, int, std::string> paths[] = {
        {deep + "l.so", nullptr, 1, deep + "tarqRS.ini"},
        {"l.so", nullptr, 1, "./tarqRS.ini"},
        {"d" + deep, nullptr, 0, ""},
        {deep + "l.so", etc.c_str(), 1, etc},
        {deep + "l.so", "/nonexistent", 1, deep + "tarqRS.ini"},
        {tmp + "l.so", etc.c_str(), 1, here},
        {etc + "/l.so", etc.c_str(), 1, etc}, // a file where the directory should be: none
        {deep + "l.so", long260.c_str(), 1, deep + "tarqRS.ini"}};
    for (const auto& [file, fallback, result, path] : paths) {
        ctx.iniPath.fill('\0');
        EXPECT_EQ(setIniPathBeside(file, fallback), result);
        EXPECT_EQ(std::string(ctx.iniPath.data()), path);
    }
    fs::remove_all(tmp);
    resetDriverContext();
    // The cash register's texts into request fields: zero-filled, cut, unterminated when as long.
    std::array<char, 4> f{'#', '#', '#', '#'};
    const auto cp = [&](const char* t) { return copyRequestText(f, t), std::string(f.data(), 4); };
    EXPECT_EQ(cp(nullptr), std::string(4, '\0'));
    EXPECT_EQ(cp("AB"), std::string("AB\0\0", 4));
    auto exact = std::make_unique<char[]>(4); // as long as the field, not terminated
    std::copy_n("WXYZ", 4, exact.get());
    EXPECT_EQ(cp(exact.get()), "WXYZ");
    EXPECT_EQ(cp("longer than the field"), "long");
}

// Bytes that end where an untouchable page begins: a read or write past them faults in any build.
struct Fenced {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    char* map = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    Fenced() { mprotect(map + page, page, PROT_NONE); }
    ~Fenced() { munmap(map, 2 * page); }
    template <typename T> std::span<T> last(std::size_t n) {
        return {reinterpret_cast<T*>(map + page) - n, n};
    }
};

// A text as traced, card data masked before '|' only: what follows stands for bytes beyond it.
std::string traced(std::string text) {
    const std::size_t n = std::min(text.find('|'), text.size());
    if (n < text.size()) text.erase(n, 1);
    Fenced bytes, flags;
    const auto t = bytes.last<std::uint8_t>(text.size());
    const auto hide = flags.last<bool>(text.size());
    std::copy(text.begin(), text.end(), t.begin());
    std::fill(hide.begin(), hide.end(), false);
    markCardNumbers(t.first(n), hide.first(n));
    markExpiryDates(t.first(n), hide.first(n));
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = hide[i] ? '*' : text[i];
    return n < text.size() ? text.insert(n, "|") : text;
}

// Card numbers in texts, shortest, longest, with a track 2's tail; unwalkable frames show no data.
TEST(TextBounds, CardNumbersMaskedInAnyForm) {
    const std::pair<std::string, std::string> rows[] = {
        {"4571 9999 0000 1234 5", "4571 99** **** *234 5"},
        {"Kort 4571-9999-0000-1234 12/28 ", "Kort 4571-99**-****-1234 **/** "},
        {"4571999900001234=2812101", "457199******1234=*******"},
        {"****1234 1228|5", "****1234 ****|5"},
        {"1/28 4571999900001", "1/28 457199***0001"},
        {"/28 4571999900001 12/280 4571999900001 12:30 4571999900001 1.50 4571999900001",
         "/28 4571*****0001 12/280 457******0001 12:30 457199***0001 1.50 457199***0001"},
        {"4571 9999 0000 1234 12:30\n4571  9999  0000  1234\nExp 12-28\nDATO 07/12\n"
         "EXP 1/28 12/ 8 12/2, 12/280 123\nUTL. 1228 1\n12/28 VALID\nUTL. 12/28",
         "4571 99** **** 1234 12:30\n4571  9999  0000  1234\nExp **-**\nDATO 07/12\n"
         "EXP 1/28 12/ 8 12/2, 12/280 123\nUTL. **** 1\n**/** VALID\nUTL. **/**"}};
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(traced(text), expected);
    EXPECT_EQ(maskCardNumbers("4571999900001234=2812101, 1234567890123D99, 1234567890123456789, "
                              "12345678901234567890, 123456789012"),
              "457199******1234=*******, 123456***0123D**, 123456*********6789, "
              "123456**************, 123456789012");
    Fenced end; // a tag still open where readable memory ends: not read past
    const auto tag = end.last<std::uint8_t>(2);
    tag[0] = 0x1F, tag[1] = 0x81;
    EXPECT_EQ(BER_check(tag.data(), 2) + BER_check(tag.data() + 2, 0), -2); // nor an empty one
    tag[0] = 0xC7; // nor a length field: the decoder does not read past either
    EXPECT_EQ(BER2TLV(tag.data(), 2), nullptr);
    // In the trace: card numbers ending the host's 40 bytes (a digit follows), control bytes,
    // frames short or ending in an escape, a state change, TRACEMAX of 63 chars, too long, too big.
    const std::string ini = ::testing::TempDir() + "tarqRS" + std::to_string(getpid());
    const Bytes f = {0x02, 0x01, 0xE1, 0x06, 0xCC, 0x03, '1', '2', '3', 0xC0, 0x03, 0xAB, 0xCD};
    const Bytes over = {0x02, 0x02, 0xE1, 0x04, 0xC5, 0x09, '4', '5', 0x03, 0xAB, 0xCD};
    const Bytes host = text("12/28 4571999900001234  5413330089010434"),
                g = {2, 1, 0xC0, 1, 16, 3, 0xAB, 0xCD},
                e = {2, 1, 0xCC, 0x80, 1, 0x33, 0xC0, 0, 3, 0xAB, 0xCD}; // no length: unwalkable
    const Bytes record =
        join(join(Bytes{2, 1, 0xE1, 0x39, 0xD5, 0x35, 0, 1, 2, 3, 4}, Bytes(8, 0)), host);
    const Bytes nor = join(record, {0x35, 0, 0x03, 0xAB, 0xCD}),
                shown = text({"\x1F ~\0\x7F\x9D\xA0", 8});
    Bytes deep{0xC0, 0x01, 0x00}; // walked 63 levels down; at 64 it is hidden
    for (int i = 1; i < BER_MAX_DEPTH; ++i)
        deep = element(0xE1, deep);
    const Bytes walked = join(join({2, 0x3F}, deep), {3, 0, 0}),
                hidden = join(join({2, 0x40}, element(0xE1, deep)), {3, 0, 0});
    for (const auto& [max, said] : {std::pair{std::string(59, '0') + "1023", " limit 1023 KB"},
                                    {std::string(63, '0') + "1", " 10240 used"},
                                    {"10485760", " 10240 used"},
                                    {"1", " limit 1 KB"}}) {
        std::ofstream(ini) << "[TRACE]\n\"/dev/fd/1\"\n[TRACEMAX]\n\"" + max + "\"\n";
        const std::string t = captureStdout([&] {
            traceOpen(ini.c_str()), wireTap(TapEvent::FrameHeld, f.data(), 13);
            wireTap(TapEvent::FrameHeld, over.data(), 11),
                wireTap(TapEvent::FrameOut, e.data(), 11);
            wireTap(TapEvent::FrameOut, nor.data(), static_cast<std::uint32_t>(nor.size()));
            wireTap(TapEvent::FrameAcked, f.data(), 1),
                wireTap(TapEvent::FrameHeld, over.data(), 4);
            wireTap(TapEvent::FrameAcked, walked.data(), 2),
                wireTap(TapEvent::FrameHeld, hidden.data(), 2);
            wireTap(TapEvent::FrameOut, g.data(), 8), tapState(0, 5, 2);
            TraceCall("f", {'~', ' ', '\x7F', static_cast<void*>(stdout)}, false).traceStarted({});
            wireTap(TapEvent::FrameOut, walked.data(), static_cast<std::uint32_t>(walked.size()));
            wireTap(TapEvent::FrameOut, hidden.data(), static_cast<std::uint32_t>(hidden.size()));
            wireTap(TapEvent::Display, shown.data(), 8), say("\n12/28 A 4571999900001234\n\n");
            say("Z"), traceClose();
        });
        for (const char* part :
             {"< frame 01: 02 01 ** ** ** ** ** ** ** ** 03 ** ** | (unreadable",
              "< frame 02: 02 02 ** ** ** ** ** ** 03 ** ** | (unreadable", // a child past its end
              "> frame 01: 02 01 ** ** ** ** ** ** 03 ** ** | (unreadable",
              " console **/** A 457199******1234\n", " console Z\n", said,
              "amount=16909060 purchase=0 pos=\"\" host=\"**/** 457199******1234  "
              "541333******0434\"",
              "< frame 00: (short frame)", "< frame 02: (short frame)", "< frame 3F: (short frame)",
              "< frame 40: (short frame)", "02 01 C0 01 10 03 AB CD | C0 PTAG_TERM_OPEN [10]",
              "state IDLE --RECEIPT--> MI\n", "call f('~', ' ', '\\x7F', \"routine\")\n",
              "02 3F E1 7F", "02 40 ** **", "display \"\\x1F ~\" \"\\x7F\\x9D\u00A0\""})
            EXPECT_NE(t.find(part), std::string::npos) << part << t;
        // Blank lines are dropped; a frame too short has no sequence byte; a call is traced once.
        for (const char* part : {"console \n", "frame 01: (short", "call f()"})
            EXPECT_EQ(t.find(part), std::string::npos) << t;
    }
    // Beside the ini ('\\' after a first letter is no root): a line ending at the limit rotates.
    const std::string name = "r\\" + std::to_string(getpid()), file = ::testing::TempDir() + name;
    std::ofstream(ini) << "[TRACE]\n\"" + name + "\"\n[TRACEMAX]\n\"1\"\n";
    traceOpen(ini.c_str());
    captureStdout([&] { say("%s\n", std::string(1024 - 18 - fs::file_size(file), 'x').c_str()); });
    EXPECT_TRUE(fs::exists(file + ".1")), traceClose(), fs::remove(file), fs::remove(file + ".1");
    std::ofstream(ini) << "[TRACE]\n\"trace.txt\n"; // no closing quote: no trace, and said so
    EXPECT_EQ(captureStdout([&] { traceOpen(ini.c_str()); }),
              "TRACE in " + ini + ": unusable file name, trace off\n");
    fs::remove(ini);
}

} // namespace
} // namespace tarq::test
