// Transition handlers: answers, display texts byte for byte, log lines exactly.
#include "engine_fixture.h"

#include "engine/handlers.h"

#include <memory>

namespace tarq::test {
namespace {

const std::string kBlank(20, ' ');

void put(StatusLine& l, const std::string& s) {
    l.fill(' ');
    std::memcpy(l.data(), s.data(), std::min(s.size(), l.size()));
}

class HandlerTest : public EngineTest {
  protected:
    // Runs a handler directly; returns its answer type (-1 for none) and captures stdout.
    int run(SA_HANDLER handler) {
        SA_EVENT event{PEVENT_EMPTY, 0};
        StdoutCapture capture;
        std::unique_ptr<SA_ANSWER> answer(handler(&event));
        out = capture.take();
        if (!answer) return -1;
        EXPECT_EQ(answer->state, SA_getState());
        EXPECT_EQ(answer->flag, 1);
        return static_cast<int>(answer->answer_ID);
    }
    std::string out;
};

struct SimpleCase {
    const char* name;
    SA_HANDLER handler;
    std::uint32_t answer;
    const char* log;
};

class SimpleHandlerTest : public HandlerTest, public ::testing::WithParamInterface<SimpleCase> {};

TEST_P(SimpleHandlerTest, FixedAnswerAndLogLineNothingElse) {
    const auto& c = GetParam();
    SA_setStateForTest(PSTATE_MI_CU);
    EXPECT_EQ(run(c.handler), static_cast<int>(c.answer));
    EXPECT_EQ(out, c.log);
    EXPECT_TRUE(ecr.displays.empty());
    EXPECT_EQ(ctx.disconnectToTerminal, 0);
    EXPECT_EQ(ctx.gstResultData, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, SimpleHandlerTest,
    ::testing::Values(
        SimpleCase{"Open", handleOpen, PANSWER_OPEN, ""},
        SimpleCase{"Close", handleClose, PANSWER_CLOSE, ""},
        SimpleCase{"MI", handleMI, PANSWER_MI, ""},
        SimpleCase{"Currenycode", handleCurrenycode, PANSWER_CURRENCYCODE, ""},
        SimpleCase{"Admin", handleAdmin, PANSWER_ADMIN, ""},
        SimpleCase{"Amount", handleAmount, PANSWER_NORTRANS, "trstate - handleAmount\n"},
        SimpleCase{"Refund", handleRefund, PANSWER_REFUND, "trstate - handleRefund\n"},
        SimpleCase{"ConfirmExtCard", handleConfirmExtCard, PANSWER_CONFIRMEEXTCARD,
                   "trstate - handleConfirmExtCard\n"},
        SimpleCase{"OkPos", handleOkPos, PANSWER_OKPOS, "trstate - handleOkPos\n"},
        SimpleCase{"VerSigAns", handleVerSigAns, PANSWER_VERSIG, "trstate - handleVerSigAns\n"},
        SimpleCase{"Default", handleDefault, PANSWER_NONE, "trstate - handleDefault\n"},
        SimpleCase{"Cardname", handlecardname, PANSWER_NONE, ""}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(HandlerTest, AbortShowsTryingThenPreparesAbortedByEcr) {
    ctx.callAbortFunc = 1;
    put(ctx.statusLine2, "SETT INN KORT");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(run(handleAbort), static_cast<int>(PANSWER_ABORT));
    EXPECT_EQ(ctx.callAbortFunc, 0);
    ASSERT_EQ(ecr.displays.size(), 2u);
    // Windows-1252: O with stroke 0xD8, A with ring 0xC5.
    EXPECT_EQ(ecr.displays[0].first, std::string("FORS\xD8KER \xC5 AVBRYTE  "));
    EXPECT_EQ(ecr.displays[0].first[4], static_cast<char>(0xD8));
    EXPECT_EQ(ecr.displays[0].first[9], static_cast<char>(0xC5));
    EXPECT_EQ(ecr.displays[0].second, "SETT INN KORT       ");
    EXPECT_EQ(line(ctx.statusLine1), kBlank);
    EXPECT_EQ(line(ctx.statusLine2), "AVBRUTT AV ECR      ");
    EXPECT_EQ(out, "");
}

struct CompleteCase {
    int result;
    bool keepsLine1;
};

class TransCompleteTest : public HandlerTest, public ::testing::WithParamInterface<CompleteCase> {};

TEST_P(TransCompleteTest, LineOneKeptOnlyForResultsOneToTwentyTwo) {
    const auto& c = GetParam();
    put(ctx.statusLine1, "GODKJENT");
    put(ctx.statusLine2, "KVITTERING");
    ctx.gstResultData = c.result;
    EXPECT_EQ(run(handleTransComplete), static_cast<int>(PANSWER_NONE));
    ASSERT_EQ(ecr.displays.size(), 1u);
    EXPECT_EQ(ecr.displays[0].first, c.keepsLine1 ? "GODKJENT            " : kBlank);
    EXPECT_EQ(ecr.displays[0].second, "KVITTERING          ");
    EXPECT_EQ(line(ctx.statusLine2), kBlank); // blanked after the display call
    EXPECT_EQ(ctx.disconnectToTerminal, 1);
    EXPECT_EQ(ctx.gstResultData, c.result);
}

INSTANTIATE_TEST_SUITE_P(Results, TransCompleteTest,
                         ::testing::Values(CompleteCase{0, false}, CompleteCase{1, true},
                                           CompleteCase{5, true}, CompleteCase{22, true},
                                           CompleteCase{23, false}, CompleteCase{255, false},
                                           CompleteCase{-1, false}));

struct TimeoutCase {
    const char* name;
    int requestKind;
    const char* line1;
    int abortCounter;
    int answer;
    const char* shown1;
    const char* shown2;
    const char* log;
};

class TimeoutHandlerTest : public HandlerTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimeoutHandlerTest, EndsWithResultTwoAndTheRightLines) {
    const auto& c = GetParam();
    ctx.requestKind = c.requestKind;
    put(ctx.statusLine1, c.line1);
    put(ctx.statusLine2, "");
    ctx.abortCounter = c.abortCounter;
    EXPECT_EQ(run(handleTimeout), c.answer);
    EXPECT_EQ(out, c.log);
    ASSERT_EQ(ecr.displays.size(), 1u);
    EXPECT_EQ(ecr.displays[0].first, c.shown1);
    EXPECT_EQ(ecr.displays[0].second, c.shown2);
    EXPECT_EQ(ctx.gstResultData, 2);
    EXPECT_EQ(ctx.disconnectToTerminal, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeoutHandlerTest,
    ::testing::Values(
        TimeoutCase{"PaymentBlank", 1, "", 0, PANSWER_NONE, "Sjekk siste kvitt.  ",
                    " TIMEOUT            ",
                    "trstate - handleTimeout:95\n\ntrstate - handleTimeout 11 2\n\n"},
        TimeoutCase{"PaymentPromptTwoAborts", 1, "BEKREFT BEL\xD8P", 2, PANSWER_ABORT,
                    "BEKREFT BEL\xD8P       ", "AVBRUTT PGA TIMEOUT ",
                    "trstate - handleTimeout:95\n\naborted due to no terminal activity\n"
                    "trstate - handleTimeout 2 2\n\n"},
        TimeoutCase{"PaymentPromptThreeAborts", 1, "BEKREFT BEL\xD8P", 3, PANSWER_NONE,
                    "BEKREFT BEL\xD8P       ", " TIMEOUT            ",
                    "trstate - handleTimeout:95\n\naborted due to no terminal activity\n"
                    "trstate - handleTimeout 11 2\n\n"},
        TimeoutCase{"AdminWaiting", 2, "VENTER", 0, PANSWER_ABORT, "                    ",
                    "AVBRUTT PGA TIMEOUT ",
                    "trstate - handleTimeout:95\n\ntrstate - handleTimeout 2 2\n\n"},
        TimeoutCase{"AdminBlank", 3, "RAPPORT", 0, PANSWER_NONE, "                    ",
                    " TIMEOUT            ",
                    "trstate - handleTimeout:95\n\ntrstate - handleTimeout 11 2\n\n"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(HandlerTest, NoConnectionEndsWithResultSix) {
    EXPECT_EQ(run(handleNoConnection), static_cast<int>(PANSWER_NONE));
    EXPECT_EQ(out, "trstate - handleNoConnection 10 95\n\n"
                   "trstate - handleNoConnection ret=6 (1)\n"
                   "trstate - handleNoConnection 11 6\n\n");
    ASSERT_EQ(ecr.displays.size(), 1u);
    EXPECT_EQ(ecr.displays[0], std::make_pair(kBlank, std::string("INGEN FORBINDELSE T.")));
    EXPECT_EQ(ctx.gstResultData, 6);
    EXPECT_EQ(ctx.disconnectToTerminal, 1);
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

struct EndingCase {
    const char* name;
    SA_HANDLER handler;
    const char* log;
    const char* shown1;
    const char* shown2;
};

class EndingHandlerTest : public HandlerTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingHandlerTest, ShowsItsTextsAndEndsKeepingTheResult) {
    const auto& c = GetParam();
    ctx.gstResultData = 3;
    EXPECT_EQ(run(c.handler), static_cast<int>(PANSWER_NONE));
    EXPECT_EQ(out, c.log);
    ASSERT_EQ(ecr.displays.size(), 1u);
    EXPECT_EQ(ecr.displays[0].first, c.shown1);
    EXPECT_EQ(ecr.displays[0].second, c.shown2);
    EXPECT_EQ(ctx.disconnectToTerminal, 1);
    EXPECT_EQ(ctx.gstResultData, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, EndingHandlerTest,
    ::testing::Values(EndingCase{"NoReceipt", handleNoReceipt, "trstate - handleNoReceipt\n\n",
                                 "                    ", "INGEN KVITT. TA KOPI"},
                      EndingCase{"NoLog", handleNoLog, "trstate - handleNoLog\n\n",
                                 "INGEN KVITTERING    ", "AVSTEMNING          "}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct ReceiptCase {
    const char* name;
    int printAnswer;
    bool registered;
    std::uint8_t before;
    std::uint8_t after;
};

class ReceiptHandlerTest : public HandlerTest, public ::testing::WithParamInterface<ReceiptCase> {};

TEST_P(ReceiptHandlerTest, CountsOnlyPrintedReceipts) {
    const auto& c = GetParam();
    ecr.printAnswer = c.printAnswer;
    if (!c.registered) ctx.trqPrintReceipt = nullptr;
    std::memcpy(ctx.gstReceiptData.data(), "KVITTERING", 11);
    ctx.gstPosReceiptInfo.receipts = c.before;
    EXPECT_EQ(run(handleReceipt), static_cast<int>(PANSWER_RECEIPTNUMBER));
    EXPECT_EQ(ctx.gstPosReceiptInfo.receipts, c.after);
    if (c.registered) {
        EXPECT_EQ(ecr.receipts, std::vector<std::string>{"KVITTERING"});
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReceiptHandlerTest,
                         ::testing::Values(

                             ReceiptCase{"Wraps", 1, true, 255, 0},
                             ReceiptCase{"NotPrinted", 0, true, 2, 2},
                             ReceiptCase{"NoPrinter", 1, false, 2, 2}),
                         [](const auto& tp) { return std::string(tp.param.name); });

struct CardCase {
    int cardAnswer;
    int answer;
};

class CardswipeTest : public HandlerTest, public ::testing::WithParamInterface<CardCase> {};

TEST_P(CardswipeTest, PaymentRecordOnlyWhenTheCashRegisterAcceptsExactlyOne) {
    const auto& c = GetParam();
    ecr.cardAnswer = c.cardAnswer;
    const std::uint8_t packed[] = {0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0xD2, 0x5F};
    std::memcpy(ctx.cardData.data(), packed, sizeof packed);
    ctx.track2Length = 10;
    EXPECT_EQ(run(handleCardswipe), c.answer);
    EXPECT_EQ(ecr.cards, std::vector<std::string>{kCardText});
}

INSTANTIATE_TEST_SUITE_P(Answers, CardswipeTest,
                         ::testing::Values(CardCase{1, PANSWER_NORTRANS},
                                           CardCase{0, PANSWER_ABORT}, CardCase{2, PANSWER_ABORT},
                                           CardCase{-1, PANSWER_ABORT}));

TEST_F(HandlerTest, CardLengthFromTheTerminalIsBoundedToTheCardData) {
    ctx.cardData.fill(0x99);
    for (int length : {19, 20, 1000, -5}) {
        ctx.track2Length = length;
        ecr.cards.clear();
        run(handleCardswipe);
        ASSERT_EQ(ecr.cards.size(), 1u);
        EXPECT_EQ(ecr.cards[0], length > 0 ? std::string(38, '9') : "") << length;
    }
}

struct ConfirmCase {
    int verdict;
    int answer;
    int extCardAnswer;
};

class ConfirmTest : public HandlerTest, public ::testing::WithParamInterface<ConfirmCase> {};

TEST_P(ConfirmTest, VerdictDecidesTheAnswer) {
    const auto& c = GetParam();
    ctx.extCardAnswer = 3;
    ecr.extCardAnswer = c.verdict;
    EXPECT_EQ(run(handleConfirm), c.answer);
    EXPECT_EQ(out, "trstate - handleConfirm\ntrqExtCardConfirm\n");
    EXPECT_EQ(ctx.extCardAnswer, c.extCardAnswer);
}

INSTANTIATE_TEST_SUITE_P(Verdicts, ConfirmTest,
                         ::testing::Values(ConfirmCase{1, PANSWER_OKPOS, 1},
                                           ConfirmCase{2, PANSWER_OKPOS, 2},
                                           ConfirmCase{0, PANSWER_NONE, 3},
                                           ConfirmCase{3, PANSWER_NONE, 3}));

} // namespace
} // namespace tarq::test
