// Exact bytes of every answer the driver sends, and the side effects of building them.
#include "protocol/tags.h"
#include "protocol_fixture.h"

#include <array>

namespace tarq::test {
namespace {

class AnswerTest : public ProtocolTest {
  protected:
    // Builds and encodes an answer; nullopt-like empty vector with `built` false when none.
    Bytes send(std::uint32_t type, bool* built = nullptr) {
        SA_ANSWER answer;
        answer.answer_ID = type;
        ::testing::internal::CaptureStdout();
        TLV* tree = parserSendAnswer(&answer);
        printed = ::testing::internal::GetCapturedStdout();
        if (built) *built = tree != nullptr;
        if (!tree) return {};
        std::array<std::uint8_t, 90> buffer{};
        buffer.fill(0x20);
        const std::uint32_t n = TLV2BER(tree, buffer.data(), buffer.size());
        TLV_free(&tree);
        EXPECT_EQ(BER_check(buffer.data(), buffer.size()), static_cast<int>(n));
        return Bytes(buffer.begin(), buffer.begin() + n);
    }
};

struct SimpleCase {
    std::uint32_t type;
    Bytes bytes;
    const char* printed;
};

TEST_F(AnswerTest, FixedAnswersHaveTheirBytesAndLines) {
    const SimpleCase cases[] = {
        {PANSWER_OPEN, {0xE1, 0x02, 0xC0, 0x00}, ""},
        {PANSWER_CLOSE, {0xE1, 0x02, 0xC1, 0x00}, ""},
        {PANSWER_STATUS1, {0xE1, 0x02, 0xC7, 0x00}, "parserSendAnswer - PANSWER_STATUS1\n"},
        {PANSWER_ABORT, {0xE1, 0x02, 0xC9, 0x00}, ""},
        {PANSWER_REFUND, {0xE1, 0x02, 0xD6, 0x00}, "parserSendAnswer - PANSWER_REFUND\n"},
        {PANSWER_CONFIRMEEXTCARD,
         {0xE1, 0x02, 0xD8, 0x00},
         "parserSendAnswer - PANSWER_CONFIRMEEXTCARD\n"},
        {1, {0xE1, 0x00}, "parserSendAnswer - DEFAULT\n"},
        {4, {0xE1, 0x00}, "parserSendAnswer - DEFAULT\n"},
        {10, {0xE1, 0x00}, "parserSendAnswer - DEFAULT\n"},
        {18, {0xE1, 0x00}, "parserSendAnswer - DEFAULT\n"},
        {0xFFFFFFFF, {0xE1, 0x00}, "parserSendAnswer - DEFAULT\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(send(c.type), c.bytes);
        EXPECT_EQ(printed, c.printed);
    }
}

TEST_F(AnswerTest, NoneBuildsNothing) {
    bool built = true;
    EXPECT_TRUE(send(PANSWER_NONE, &built).empty());
    EXPECT_FALSE(built);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(parserSendAnswer(nullptr), nullptr);
}

TEST_F(AnswerTest, ValueCarryingAnswers) {
    ctx.request.merchIn = 'K';
    ctx.request.currencyCode = 0x70242; // only the low 16 bits travel
    ctx.adminCode = 0x17;
    ctx.gstPosReceiptInfo.receipts = 3;
    ctx.request.amount = 100000;
    EXPECT_EQ(send(PANSWER_MI), (Bytes{0xE1, 0x03, 0xC4, 0x01, 'K'}));
    EXPECT_EQ(send(PANSWER_CURRENCYCODE), (Bytes{0xE1, 0x04, 0xC3, 0x02, 0x02, 0x42}));
    EXPECT_EQ(send(PANSWER_ADMIN), (Bytes{0xE1, 0x04, 0xD2, 0x02, 0x00, 0x17}));
    EXPECT_EQ(send(PANSWER_RECEIPTNUMBER), (Bytes{0xE1, 0x03, 0xD7, 0x01, 0x03}));
    EXPECT_EQ(send(PANSWER_AMOUNT), (Bytes{0xE1, 0x06, 0xC2, 0x04, 0x00, 0x01, 0x86, 0xA0}));
}

TEST_F(AnswerTest, OkPosAndVerSigFollowTheVerdicts) {
    struct Case {
        std::uint32_t type;
        int extCard;
        int verSig;
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

TEST_F(AnswerTest, RequestsArmTheAnswerTimer) {
    for (std::uint32_t type : {PANSWER_CURRENCYCODE, PANSWER_ADMIN, PANSWER_REFUND}) {
        SCOPED_TRACE(type);
        ctx.ecrRequestsAnswer = 0;
        ctx.lastSendTime = 0;
        clock_.advanceSeconds(7);
        send(type);
        EXPECT_EQ(ctx.ecrRequestsAnswer, 1);
        EXPECT_EQ(ctx.lastSendTime, nowSeconds());
    }
    ctx.ecrRequestsAnswer = 0;
    ctx.lastSendTime = 0;
    send(PANSWER_MI);
    send(PANSWER_OPEN);
    EXPECT_EQ(ctx.ecrRequestsAnswer, 0);
    EXPECT_EQ(ctx.lastSendTime, 0);
}

TEST_F(AnswerTest, ReceiptNumberPausesThenStampsWithoutArmingTimer) {
    const auto before = clock_.totalSleptMs();
    send(PANSWER_RECEIPTNUMBER);
    EXPECT_EQ(clock_.totalSleptMs() - before, 600);
    EXPECT_EQ(ctx.lastSendTime, nowSeconds());
    EXPECT_EQ(ctx.ecrRequestsAnswer, 0);
}

TEST_F(AnswerTest, EveryAbortCounts) {
    ctx.abortCounter = 0;
    send(PANSWER_ABORT);
    send(PANSWER_ABORT);
    EXPECT_EQ(ctx.abortCounter, 2);
}

void fillRequest() {
    auto& r = ctx.request;
    r.amount = 100000;
    r.purchaseAmount = 0x01020304;
    r.posData = {'P', 'O', 'S', '1'};
    r.dataToHost.fill(0);
    r.dataToHost[0] = 'a';
    r.dataToHost[1] = 'b';
    r.dataToHost[2] = 'c';
    r.cardNo.fill(0);
    const char card[] = "4571999988887777";
    std::copy(card, card + 16, r.cardNo.begin());
    r.expDate = {'1', '2', '2', '9'};
    r.cvc = {'1', '2', '3'};
}

TEST_F(AnswerTest, PaymentRecordOf53Bytes) {
    fillRequest();
    struct Case {
        std::int32_t type;
        std::uint8_t code;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 0}, {5, 5},
                          {6, 6}, {7, 0}, {8, 0}, {9, 0}, {10, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ctx.request.transactionType = c.type;
        const Bytes b = send(PANSWER_NORTRANS);
        ASSERT_EQ(b.size(), 57u);
        EXPECT_EQ((Bytes{b.begin(), b.begin() + 4}), (Bytes{0xE1, 0x37, 0xD5, 0x35}));
        const Bytes rec(b.begin() + 4, b.end());
        EXPECT_EQ(rec[0], c.code);
        EXPECT_EQ((Bytes{rec.begin() + 1, rec.begin() + 5}), (Bytes{0x00, 0x01, 0x86, 0xA0}));
        EXPECT_EQ((Bytes{rec.begin() + 5, rec.begin() + 9}), (Bytes{0x01, 0x02, 0x03, 0x04}));
        EXPECT_EQ((Bytes{rec.begin() + 9, rec.begin() + 13}), text("POS1"));
        EXPECT_EQ((Bytes{rec.begin() + 13, rec.begin() + 16}), text("abc"));
        EXPECT_EQ(Bytes(rec.begin() + 16, rec.end()), Bytes(37, 0));
        EXPECT_EQ(printed, "");
    }
}

TEST_F(AnswerTest, NegativeTypeSendsCardRecordOf81Bytes) {
    fillRequest();
    for (std::int32_t type : {-1, -100, 11}) {
        SCOPED_TRACE(type);
        ctx.request.transactionType = type;
        const Bytes b = send(PANSWER_NORTRANS);
        ASSERT_EQ(b.size(), 85u);
        EXPECT_EQ((Bytes{b.begin(), b.begin() + 4}), (Bytes{0xE1, 0x53, 0xDC, 0x51}));
        const Bytes rec(b.begin() + 4, b.end());
        EXPECT_EQ(rec[0], type == 11 ? 11 : 0);
        EXPECT_EQ((Bytes{rec.begin() + 1, rec.begin() + 5}), (Bytes{0x00, 0x01, 0x86, 0xA0}));
        EXPECT_EQ((Bytes{rec.begin() + 9, rec.begin() + 13}), text("POS1"));
        EXPECT_EQ(rec[53], 0);
        EXPECT_EQ(rec[54], 0);
        Bytes card = text("4571999988887777");
        card.resize(19, 0);
        EXPECT_EQ(Bytes(rec.begin() + 55, rec.begin() + 74), card);
        EXPECT_EQ(Bytes(rec.begin() + 74, rec.begin() + 78), text("1229"));
        EXPECT_EQ(Bytes(rec.begin() + 78, rec.end()), text("123"));
    }
}

TEST_F(AnswerTest, AmountsAboveSignedRangeAreSentUnsigned) {
    ctx.request.amount = -2; // never accepted by the range check, but must not be mangled
    const Bytes b = send(PANSWER_NORTRANS);
    ASSERT_EQ(b.size(), 57u);
    EXPECT_EQ((Bytes{b.begin() + 5, b.begin() + 9}), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
}

} // namespace
} // namespace tarq::test
