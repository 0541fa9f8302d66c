// Exact bytes of every answer the driver sends, and the side effects of building them.
#include "protocol/tags.h"
#include "protocol_fixture.h"

#include <array>

namespace tarq::test {
namespace {

class AnswerTest : public ProtocolTest {
  protected:
    // Builds and encodes an answer into the transport's 90-byte buffer; empty when none is built.
    Bytes send(std::uint32_t type) {
        SA_ANSWER answer;
        answer.answer_ID = type;
        TLV* tree = nullptr;
        printed = captureStdout([&] { tree = parserSendAnswer(&answer); });
        if (!tree) return {};
        std::array<std::uint8_t, 90> buffer{};
        buffer.fill(0x20);
        const std::uint32_t n = TLV2BER(tree, buffer.data(), buffer.size());
        TLV_free(&tree);
        EXPECT_EQ(BER_check(buffer.data(), buffer.size()), static_cast<int>(n));
        return Bytes(buffer.begin(), buffer.begin() + n);
    }
};

TEST_F(AnswerTest, EachAnswerHasItsBytesLineAndTimer) {
    enum Timer { none, stamped, armed }; // armed: the wait for the terminal's answer starts
    struct Case {
        std::uint32_t type;
        Bytes bytes;
        const char* line; // printed after "parserSendAnswer - "
        Timer timer;
    };
    const Case cases[] = {
        {PANSWER_OPEN, {0xE1, 0x02, 0xC0, 0x00}, "", none},
        {PANSWER_CLOSE, {0xE1, 0x02, 0xC1, 0x00}, "", none},
        {PANSWER_STATUS1, {0xE1, 0x02, 0xC7, 0x00}, "PANSWER_STATUS1", none},
        {PANSWER_ABORT, {0xE1, 0x02, 0xC9, 0x00}, "", none},
        {PANSWER_REFUND, {0xE1, 0x02, 0xD6, 0x00}, "PANSWER_REFUND", armed},
        {PANSWER_CONFIRMEEXTCARD, {0xE1, 0x02, 0xD8, 0x00}, "PANSWER_CONFIRMEEXTCARD", none},
        {PANSWER_MI, {0xE1, 0x03, 0xC4, 0x01, 'K'}, "", none},
        // Only the low 16 bits of the currency code travel.
        {PANSWER_CURRENCYCODE, {0xE1, 0x04, 0xC3, 0x02, 0x02, 0x42}, "", armed},
        {PANSWER_ADMIN, {0xE1, 0x04, 0xD2, 0x02, 0x00, 0x17}, "", armed},
        {PANSWER_RECEIPTNUMBER, {0xE1, 0x03, 0xD7, 0x01, 0x03}, "", stamped},
        {PANSWER_AMOUNT, {0xE1, 0x06, 0xC2, 0x04, 0x00, 0x01, 0x86, 0xA0}, "", none},
        {PANSWER_NONE, {}, "", none},
        {4, {0xE1, 0x00}, "DEFAULT", none},
        {18, {0xE1, 0x00}, "DEFAULT", none},
        {0xFFFFFFFF, {0xE1, 0x00}, "DEFAULT", none},
    };
    ctx.request.merchIn = 'K';
    ctx.request.currencyCode = 0x70242;
    ctx.adminCode = 0x17;
    ctx.gstPosReceiptInfo.receipts = 3;
    ctx.request.amount = 100000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ctx.ecrRequestsAnswer = 0;
        ctx.lastSendTime = 0;
        ctx.abortCounter = 0;
        clock_.advanceMs(7000);
        const auto slept = clock_.totalSleptMs();
        EXPECT_EQ(send(c.type), c.bytes);
        EXPECT_EQ(printed, *c.line ? "parserSendAnswer - " + std::string(c.line) + "\n" : "");
        EXPECT_EQ(ctx.ecrRequestsAnswer, c.timer == armed);
        EXPECT_EQ(ctx.lastSendTime, c.timer == none ? 0 : nowSeconds());
        // The terminal needs 600 ms after a receipt before it takes the count.
        EXPECT_EQ(clock_.totalSleptMs() - slept, c.type == PANSWER_RECEIPTNUMBER ? 600 : 0);
        EXPECT_EQ(ctx.abortCounter, c.type == PANSWER_ABORT); // every abort counts
    }
    EXPECT_EQ(parserSendAnswer(nullptr), nullptr);
}

TEST_F(AnswerTest, OkPosAndVerSigFollowTheVerdicts) {
    struct Case {
        std::uint32_t type;
        int extCard, verSig;
        std::uint8_t tag;
        const char* printed;
    };
    const Case cases[] = {
        {PANSWER_OKPOS, 1, 0, PTAG_EXTPOSOK,
         "parserSendAnswer - PANSWER_OKPOS\nparserSendAnswer - PTAG_EXTPOSOK\n"},
        {PANSWER_OKPOS, 3, 0, PTAG_EXTPOSOK,
         "parserSendAnswer - PANSWER_OKPOS\nparserSendAnswer - PTAG_EXTPOSOK\n"},
        {PANSWER_OKPOS, 2, 0, PTAG_EXTPOSNOTOK,
         "parserSendAnswer - PANSWER_OKPOS\nparserSendAnswer - PTAG_EXTPOSNOTOK\n"},
        {PANSWER_VERSIG, 0, 0, PTAG_VER_SIG_NONE, "parserSendAnswer - PANSWER_VERSIG\n"},
        {PANSWER_VERSIG, 0, 1, PTAG_VER_SIG_OK, "parserSendAnswer - PANSWER_VERSIG\n"},
        {PANSWER_VERSIG, 0, 2, PTAG_VER_SIG, "parserSendAnswer - PANSWER_VERSIG\n"},
        {PANSWER_VERSIG, 0, 3, PTAG_VER_SIG_NONE, "parserSendAnswer - PANSWER_VERSIG\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << "/" << c.extCard << "/" << c.verSig);
        ctx.extCardAnswer = c.extCard;
        ctx.verSigAnswer = c.verSig;
        EXPECT_EQ(send(c.type), (Bytes{0xE1, 0x02, c.tag, 0x00}));
        EXPECT_EQ(printed, c.printed);
    }
}

// The payment record: type code, amounts most significant byte first, zero-filled texts; a
// negative type (or 11 and above) sends the 81-byte record with the card data.
TEST_F(AnswerTest, PaymentRecordsOf53And81Bytes) {
    auto& r = ctx.request;
    r.amount = 100000;
    r.purchaseAmount = 0x01020304;
    r.posData = {'P', 'O', 'S', '1'};
    std::copy_n("abc", 3, r.dataToHost.begin());
    std::copy_n("4571999988887777", 16, r.cardNo.begin());
    r.expDate = {'1', '2', '2', '9'};
    r.cvc = {'1', '2', '3'};
    // Amount, purchase amount, POS data, data to host (zero-filled).
    Bytes fields = {0x00, 0x01, 0x86, 0xA0, 0x01, 0x02, 0x03, 0x04,
                    'P',  'O',  'S',  '1',  'a',  'b',  'c'};
    fields.resize(52, 0);
    // The card record adds two zero bytes, the card number, the expiry date and the CVC.
    const Bytes cardPart =
        text(std::string(2, '\0') + "4571999988887777" + std::string(3, '\0') + "1229123");
    const std::pair<std::int32_t, std::uint8_t> cases[] = {
        {0, 0}, {1, 1}, {2, 2}, {3, 3},  {4, 0},   {5, 5},  {6, 6},
        {7, 0}, {8, 0}, {9, 0}, {10, 0}, {11, 11}, {-1, 0}, {-100, 0}};
    for (auto [type, code] : cases) {
        SCOPED_TRACE(type);
        r.transactionType = type;
        const Bytes b = send(PANSWER_NORTRANS);
        const bool withCard = type < 0 || type >= 11;
        Bytes expected = withCard ? Bytes{0xE1, 0x53, 0xDC, 0x51} : Bytes{0xE1, 0x37, 0xD5, 0x35};
        expected.push_back(code);
        expected.insert(expected.end(), fields.begin(), fields.end());
        if (withCard) expected.insert(expected.end(), cardPart.begin(), cardPart.end());
        EXPECT_EQ(b, expected);
        EXPECT_EQ(printed, "");
    }
    // Amounts are sent as unsigned, never mangled.
    r.transactionType = 0;
    r.amount = -2;
    const Bytes b = send(PANSWER_NORTRANS);
    EXPECT_EQ(Bytes(b.begin() + 5, b.begin() + 9), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
}

} // namespace
} // namespace tarq::test
