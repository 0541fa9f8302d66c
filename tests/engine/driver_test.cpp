// The exported operations over a scripted terminal, the connection as an open leaves it: what
// only the call boundary shows (its result when nothing arrived, what an exception leaves
// behind, the card data after the call).
#include "core/context.h"
#include "core/sa.h"
#include "engine/mainloop.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/cash_register.h"
#include "tests/support/terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace tarq::test {
namespace {

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDriverContext();
        ctx.openStatus = TRQ_OPEN_OK;
        pip_setLink(&terminal);
        ecr.registerWith(trqInitCallback);
    }
    void TearDown() override {
        pip_setLink(nullptr);
        freeCurrentEcrEvent();
        CashRegister::active = nullptr;
    }
    int pay(int type = 1, const char* cardNo = "", const char* exp = "", const char* cvc = "") {
        int result = -1;
        captureStdout([&] {
            result = trqNorTransaction(type, 12345, 578, 'M', 0, 0, "", "", 0, 0, cardNo, exp, cvc);
        });
        return result;
    }
    ManualClock clock;
    ScopedClock scoped{clock};
    ScriptedTerminal terminal{clock};
    CashRegister ecr;
};

TEST_F(DriverTest, RestartReportsSuccessOnlyWhenTheTerminalAcknowledged) {
    struct Case {
        bool link;
        std::deque<int> sends;
        int result;
    };
    const Case cases[] = {{true, {1}, TRQ_RESTART_SENT},
                          {true, {0}, TRQ_NO_RESULT},
                          {true, {-1000, -1000, -1000, -1000}, TRQ_NO_RESULT},
                          {false, {}, TRQ_NO_RESULT}};
    for (const auto& c : cases) {
        for (const bool viaAdmin : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.link << c.sends.size() << viaAdmin);
            terminal.linkPresent = c.link;
            terminal.sendResults = c.sends;
            int result = -1;
            captureStdout([&] { result = viaAdmin ? trqNorAdmin(8, 0, 0) : trqRestartTerm(); });
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(SA_getState(), PSTATE_OPEN);
        }
    }
}

bool throwOnCard = false;
int cardOrThrow(const char*) {
    if (throwOnCard) throw std::runtime_error("till failed");
    return 1;
}

TEST_F(DriverTest, ExceptionFromACallbackEndsTheExchangeAndTheNextCallWorks) {
    trqInitCallback(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(&cardOrThrow));
    terminal.replyTo(PTAG_CURRENCYCODE, {cardMessage()});
    throwOnCard = true;
    EXPECT_EQ(pay(), TRQ_NO_RESULT);
    throwOnCard = false;
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
    EXPECT_EQ(ctx.callAbortFunc, 0);
    EXPECT_EQ(ctx.ecrRequestsAnswer, 0);

    terminal.sent.clear();
    terminal.replyTo(PTAG_CURRENCYCODE, {cardMessage()});
    terminal.replyTo(PTAG_NORTRANS, {completed(0, 1)});
    EXPECT_EQ(pay(), TRQ_APPROVED);
    EXPECT_EQ(terminal.sentTags(), (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_NORTRANS}));
}

TEST_F(DriverTest, CardDataIsWipedWhenTheCallReturnsAndSurvivesAResend) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)}); // not ready: sent again after 6 s
    terminal.replyTo(PTAG_CURRENCYCODE, {cardMessage()});
    terminal.replyTo(PTAG_NORTRANS_CARD, {completed(0, 1)});
    EXPECT_EQ(pay(-1, "4711000011112222", "2512", "123"), TRQ_APPROVED);

    ASSERT_EQ(terminal.sentTags(),
              (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_MI, PTAG_CURRENCYCODE, PTAG_NORTRANS_CARD}));
    const Bytes& record = terminal.sent.back().bytes;
    for (const char* part : {"4711000011112222", "2512", "123"}) {
        const Bytes b = text(part);
        EXPECT_NE(std::search(record.begin(), record.end(), b.begin(), b.end()), record.end())
            << part;
    }
    EXPECT_EQ(ecr.cards, std::vector<std::string>{kCardText});
    const auto zero = [](const auto& field) {
        return std::all_of(field.begin(), field.end(), [](auto c) { return c == 0; });
    };
    EXPECT_TRUE(zero(ctx.cardData));
    EXPECT_TRUE(zero(ctx.request.cardNo));
    EXPECT_TRUE(zero(ctx.request.expDate));
    EXPECT_TRUE(zero(ctx.request.cvc));
}

} // namespace
} // namespace tarq::test
