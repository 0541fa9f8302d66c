// Transition handlers: answers, display texts byte for byte (Windows-1252), log lines exactly.
#include "engine_fixture.h"

#include "engine/handlers.h"

#include <memory>

namespace tarq::test {
namespace {

class HandlerTest : public EngineTest {
  protected:
    // Runs a handler directly; returns its answer type (-1 for none) and captures stdout.
    int run(SA_HANDLER handler) {
        SA_EVENT event{PEVENT_EMPTY, 0};
        ecr.displays.clear();
        std::unique_ptr<SA_ANSWER> answer;
        out = captureStdout([&] { answer.reset(handler(&event)); });
        if (!answer) return -1;
        EXPECT_EQ(answer->state, SA_getState());
        EXPECT_EQ(answer->flag, 1);
        return static_cast<int>(answer->answer_ID);
    }
    std::string out;
};

TEST_F(HandlerTest, FixedAnswerAndLogLineNothingElse) {
    struct Case {
        SA_HANDLER handler;
        std::uint32_t answer;
        const char* log;
    };
    const Case cases[] = {
        {handleOpen, PANSWER_OPEN, ""},
        {handleClose, PANSWER_CLOSE, ""},
        {handleMI, PANSWER_MI, ""},
        {handleCurrenycode, PANSWER_CURRENCYCODE, ""},
        {handleAdmin, PANSWER_ADMIN, ""},
        {handleAmount, PANSWER_NORTRANS, "trstate - handleAmount\n"},
        {handleRefund, PANSWER_REFUND, "trstate - handleRefund\n"},
        {handleConfirmExtCard, PANSWER_CONFIRMEEXTCARD, "trstate - handleConfirmExtCard\n"},
        {handleOkPos, PANSWER_OKPOS, "trstate - handleOkPos\n"},
        {handleVerSigAns, PANSWER_VERSIG, "trstate - handleVerSigAns\n"},
        {handleDefault, PANSWER_NONE, "trstate - handleDefault\n"},
        {handlecardname, PANSWER_NONE, ""},
    };
    SA_setStateForTest(PSTATE_MI_CU);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        EXPECT_EQ(run(c.handler), static_cast<int>(c.answer));
        EXPECT_EQ(out, c.log);
        EXPECT_TRUE(ecr.displays.empty());
        EXPECT_EQ(ctx.disconnectToTerminal, 0);
        EXPECT_EQ(ctx.gstResultData, 1);
    }
}

TEST_F(HandlerTest, AbortShowsTryingThenPreparesAbortedByEcr) {
    ctx.callAbortFunc = 1;
    put(ctx.statusLine2, "SETT INN KORT");
    EXPECT_EQ(run(handleAbort), static_cast<int>(PANSWER_ABORT));
    EXPECT_EQ(ctx.callAbortFunc, 0);
    // O with stroke 0xD8, A with ring 0xC5.
    ASSERT_EQ(ecr.displays.size(), 1u);
    EXPECT_EQ(ecr.displays[0], std::make_pair(std::string("FORS\xD8KER \xC5 AVBRYTE  "),
                                              std::string("SETT INN KORT       ")));
    EXPECT_EQ(line(ctx.statusLine1), kBlank);
    EXPECT_EQ(line(ctx.statusLine2), "AVBRUTT AV ECR      ");
    EXPECT_EQ(out, "");
}

TEST_F(HandlerTest, TransCompleteKeepsLineOneOnlyForResultsOneToTwentyTwo) {
    for (int result : {0, 1, 5, 22, 23, 255, -1}) {
        SCOPED_TRACE(result);
        put(ctx.statusLine1, "GODKJENT");
        put(ctx.statusLine2, "KVITTERING");
        ctx.gstResultData = result;
        EXPECT_EQ(run(handleTransComplete), static_cast<int>(PANSWER_NONE));
        ASSERT_EQ(ecr.displays.size(), 1u);
        const bool keeps = result >= 1 && result <= 22;
        EXPECT_EQ(ecr.displays[0].first, keeps ? "GODKJENT            " : kBlank);
        EXPECT_EQ(ecr.displays[0].second, "KVITTERING          ");
        EXPECT_EQ(line(ctx.statusLine2), kBlank); // blanked after the display call
        EXPECT_EQ(ctx.disconnectToTerminal, 1);
        EXPECT_EQ(ctx.gstResultData, result);
    }
}

TEST_F(HandlerTest, TimeoutEndsWithResultTwoAndTheRightLines) {
    struct Case {
        int requestKind;
        const char* line1;
        int abortCounter;
        int answer;
        const char* shown1;
        const char* shown2;
        const char* log;
    };
    const Case cases[] = {
        {1, "", 0, PANSWER_NONE, "Sjekk siste kvitt.  ", " TIMEOUT            ",
         "trstate - handleTimeout:95\n\ntrstate - handleTimeout 11 2\n\n"},
        {1, "BEKREFT BEL\xD8P", 2, PANSWER_ABORT, "BEKREFT BEL\xD8P       ", "AVBRUTT PGA TIMEOUT ",
         "trstate - handleTimeout:95\n\naborted due to no terminal activity\n"
         "trstate - handleTimeout 2 2\n\n"},
        {1, "BEKREFT BEL\xD8P", 3, PANSWER_NONE, "BEKREFT BEL\xD8P       ", " TIMEOUT            ",
         "trstate - handleTimeout:95\n\naborted due to no terminal activity\n"
         "trstate - handleTimeout 11 2\n\n"},
        {2, "VENTER", 0, PANSWER_ABORT, "                    ", "AVBRUTT PGA TIMEOUT ",
         "trstate - handleTimeout:95\n\ntrstate - handleTimeout 2 2\n\n"},
        {3, "RAPPORT", 0, PANSWER_NONE, "                    ", " TIMEOUT            ",
         "trstate - handleTimeout:95\n\ntrstate - handleTimeout 11 2\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.requestKind << " " << c.line1 << " " << c.abortCounter);
        ctx.requestKind = c.requestKind;
        put(ctx.statusLine1, c.line1);
        put(ctx.statusLine2, "");
        ctx.abortCounter = c.abortCounter;
        EXPECT_EQ(run(handleTimeout), c.answer);
        EXPECT_EQ(out, c.log);
        ASSERT_EQ(ecr.displays.size(), 1u);
        EXPECT_EQ(ecr.displays[0], std::make_pair(std::string(c.shown1), std::string(c.shown2)));
        EXPECT_EQ(ctx.gstResultData, 2);
        EXPECT_EQ(ctx.disconnectToTerminal, 1);
    }
}

TEST_F(HandlerTest, EndingHandlersShowTheirTextsAndEnd) {
    struct Case {
        SA_HANDLER handler;
        const char* log;
        const char* shown1;
        const char* shown2;
        int result; // from 3 before
    };
    const Case cases[] = {
        {handleNoReceipt, "trstate - handleNoReceipt\n\n", "                    ",
         "INGEN KVITT. TA KOPI", 3},
        {handleNoLog, "trstate - handleNoLog\n\n", "INGEN KVITTERING    ", "AVSTEMNING          ",
         3},
        {handleNoConnection,
         "trstate - handleNoConnection 10 95\n\ntrstate - handleNoConnection ret=6 (3)\n"
         "trstate - handleNoConnection 11 6\n\n",
         "                    ", "INGEN FORBINDELSE T.", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        ctx.gstResultData = 3;
        ctx.disconnectToTerminal = 0;
        EXPECT_EQ(run(c.handler), static_cast<int>(PANSWER_NONE));
        EXPECT_EQ(out, c.log);
        ASSERT_EQ(ecr.displays.size(), 1u);
        EXPECT_EQ(ecr.displays[0], std::make_pair(std::string(c.shown1), std::string(c.shown2)));
        EXPECT_EQ(ctx.disconnectToTerminal, 1);
        EXPECT_EQ(ctx.gstResultData, c.result);
    }
}

TEST_F(HandlerTest, TermNotReadyArmsTheResendAndDisarmsTheAnswerTimer) {
    ctx.gstResultData = 5;
    ctx.ecrRequestsAnswer = 1;
    ctx.lastSendTime = 1;
    EXPECT_EQ(run(handleTermNotReady), static_cast<int>(PANSWER_NONE));
    EXPECT_EQ(out, "trstate - handleTermNotReady\n\ntrstate - handleTermNotReady 5\n");
    EXPECT_EQ(ctx.ecrRequestsAnswer, 0);
    EXPECT_EQ(ctx.lastSendTime, nowSeconds());
    EXPECT_EQ(ctx.timeStampTermNotReady, nowSeconds());
    ASSERT_EQ(ecr.displays.size(), 1u);
    EXPECT_EQ(ecr.displays[0], std::make_pair(std::string("VENT                "), kBlank));
    EXPECT_EQ(ctx.disconnectToTerminal, 0);
}

TEST_F(HandlerTest, ReceiptCountsOnlyPrintedReceipts) {
    struct Case {
        int printAnswer;
        bool registered;
        std::uint8_t before, after;
    };
    const Case cases[] = {{1, true, 255, 0}, {0, true, 2, 2}, {1, false, 2, 2}};
    std::memcpy(ctx.gstReceiptData.data(), "KVITTERING", 11);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.printAnswer << c.registered << int{c.before});
        ecr.printAnswer = c.printAnswer;
        ecr.receipts.clear();
        if (!c.registered) ctx.trqPrintReceipt = nullptr;
        ctx.gstPosReceiptInfo.receipts = c.before;
        EXPECT_EQ(run(handleReceipt), static_cast<int>(PANSWER_RECEIPTNUMBER));
        EXPECT_EQ(ctx.gstPosReceiptInfo.receipts, c.after);
        EXPECT_EQ(ecr.receipts, std::vector<std::string>(c.registered, "KVITTERING"));
    }
}

// Which callback answers count as accepted is the invoker's rule, tested with it.
TEST_F(HandlerTest, CardswipeSendsThePaymentRecordOnlyWhenTheCardIsAccepted) {
    const std::uint8_t packed[] = {0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0xD2, 0x5F};
    std::memcpy(ctx.cardData.data(), packed, sizeof packed);
    ctx.track2Length = 10;
    EXPECT_EQ(run(handleCardswipe), static_cast<int>(PANSWER_NORTRANS));
    ecr.cardAnswer = 2;
    EXPECT_EQ(run(handleCardswipe), static_cast<int>(PANSWER_ABORT));
    EXPECT_EQ(ecr.cards, (std::vector<std::string>{kCardText, kCardText}));
    // The length comes from the terminal: bounded to the card data.
    ctx.track2Length = 1000;
    ctx.cardData.fill(0x99);
    run(handleCardswipe);
    EXPECT_EQ(ecr.cards.back(), std::string(38, '9'));
}

TEST_F(HandlerTest, ConfirmVerdictDecidesTheAnswer) {
    struct Case {
        int verdict, answer, extCardAnswer;
    };
    const Case cases[] = {
        {1, PANSWER_OKPOS, 1}, {2, PANSWER_OKPOS, 2}, {0, PANSWER_NONE, 3}, {3, PANSWER_NONE, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verdict);
        ctx.extCardAnswer = 3;
        ecr.extCardAnswer = c.verdict;
        EXPECT_EQ(run(handleConfirm), c.answer);
        EXPECT_EQ(out, "trstate - handleConfirm\ntrqExtCardConfirm\n");
        EXPECT_EQ(ctx.extCardAnswer, c.extCardAnswer);
    }
}

} // namespace
} // namespace tarq::test
