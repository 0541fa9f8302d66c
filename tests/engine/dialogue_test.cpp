// Whole exchanges through the automaton: a scripted terminal, the settable clock, the loop.
#include "engine_fixture.h"

#include <algorithm>

namespace tarq::test {
namespace {

const std::string kBlank(20, ' ');

Bytes receiptMessage(const std::string& s) {
    return message({element(PTAG_LAST_RECEIPT), element(PTAG_TERM_RECEIPT, text(s))});
}

class DialogueTest : public EngineTest {
  protected:
    // The terminal takes the currency code, shows its lines and reads the card.
    void terminalReadsCard() {
        terminal.replyTo(PTAG_CURRENCYCODE,
                         {status1("SETT INN KORT"),
                          message({element(PTAG_STATUS2, text("KR 123,45"))}), cardMessage()});
    }
    // The payment record is answered with a receipt, the receipt number with the completion.
    void terminalApprovesAndPrints(std::uint8_t result = 0) {
        terminal.replyTo(PTAG_NORTRANS, {status1("GODKJENT"), receiptMessage("KVITTERING 123,45")});
        terminal.replyTo(PTAG_RECEIPTNUMBER, {completed(result, 3)});
    }
};

TEST_F(DialogueTest, RoadOfOneCardPayment) {
    terminalReadsCard();
    terminalApprovesAndPrints();
    const std::int64_t start = clock.nowMs();

    startPayment();
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_EQ(runLoop(), 0);

    ASSERT_EQ(terminal.sent.size(), 4u);
    EXPECT_EQ(terminal.sent[0].bytes, (Bytes{0xE1, 0x03, 0xC4, 0x01, 'M'}));
    EXPECT_EQ(terminal.sent[1].bytes, (Bytes{0xE1, 0x04, 0xC3, 0x02, 0x02, 0x42}));
    // The currency code follows the MI after 200 ms.
    EXPECT_EQ(terminal.sent[0].atMs, start);
    EXPECT_EQ(terminal.sent[1].atMs - terminal.sent[0].atMs, 200);
    // The 53-byte payment record with the amounts, most significant byte first.
    const Bytes& record = terminal.sent[2].bytes;
    ASSERT_EQ(record.size(), 57u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0xE1, 0x37, 0xD5, 0x35}));
    EXPECT_EQ(Bytes(record.begin() + 5, record.begin() + 9), (Bytes{0x00, 0x00, 0x30, 0x39}));
    // One receipt printed; the count goes back 600 ms after the receipt arrived.
    EXPECT_EQ(terminal.sent[3].bytes, (Bytes{0xE1, 0x03, 0xD7, 0x01, 0x01}));
    const auto receipt =
        std::find_if(terminal.delivered.begin(), terminal.delivered.end(),
                     [](const auto& d) { return d.bytes[2] == PTAG_LAST_RECEIPT; });
    ASSERT_NE(receipt, terminal.delivered.end());
    EXPECT_EQ(terminal.sent[3].atMs - receipt->atMs, 600);

    EXPECT_EQ(ecr.cards, std::vector<std::string>{kCardText});
    EXPECT_EQ(ecr.receipts, std::vector<std::string>{"KVITTERING 123,45"});
    EXPECT_EQ(ctx.issuerID, 3);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
    // Status lines reached the cash register as the terminal sent them; the end blanks line 1
    // for result 0.
    ASSERT_GE(ecr.displays.size(), 3u);
    EXPECT_EQ(ecr.displays[0].first, "SETT INN KORT       ");
    EXPECT_EQ(ecr.displays[1].second, "KR 123,45           ");
    EXPECT_EQ(ecr.lastDisplay().first, kBlank);
    EXPECT_EQ(line(ctx.statusLine2), kBlank);
}

TEST_F(DialogueTest, ExternalCardConfirmationGoesFirst) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(1, 0)});
    StdoutCapture capture;
    startPayment(/*confirmExtCard=*/1);
    const std::string out = capture.take();
    EXPECT_NE(out.find("trstate - handleConfirmExtCard\n"), std::string::npos);
    ASSERT_EQ(terminal.sent.size(), 3u);
    EXPECT_EQ(terminal.sent[0].bytes, (Bytes{0xE1, 0x02, 0xD8, 0x00}));
    EXPECT_EQ(terminal.sentTags(),
              (std::vector<std::uint8_t>{PTAG_CONFIRMEEXTCARD, PTAG_MI, PTAG_CURRENCYCODE}));
    EXPECT_EQ(terminal.sent[2].atMs - terminal.sent[1].atMs, 200);
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_EQ(runLoop(), 1);
}

TEST_F(DialogueTest, RefusedCardIsAborted) {
    ecr.cardAnswer = 0;
    terminalReadsCard();
    terminal.replyTo(PTAG_TERM_ABORT, {message({element(PTAG_TERM_ABORT)}), completed(7, 0)});
    startPayment();
    EXPECT_EQ(runLoop(), 7);
    EXPECT_EQ(terminal.sentTags(),
              (std::vector<std::uint8_t>{PTAG_MI, PTAG_CURRENCYCODE, PTAG_TERM_ABORT}));
    EXPECT_EQ(ctx.abortCounter, 1);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

TEST_F(DialogueTest, AbortFromTheCashRegister) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT")});
    terminal.replyTo(PTAG_TERM_ABORT, {message({element(PTAG_TERM_ABORT)}), completed(1, 0)});
    ecr.abortAnswer = [](int call) { return call >= 3 ? 1 : 0; }; // keeps saying yes
    startPayment();
    StdoutCapture capture;
    EXPECT_EQ(runLoop(), 1);
    const std::string out = capture.take();
    EXPECT_EQ(out.find("getPosAbortEvent\n"), out.rfind("getPosAbortEvent\n"));
    EXPECT_EQ(ecr.abortCalls, 3); // never asked again once the abort went out
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 1u);
    ASSERT_GE(ecr.displays.size(), 2u);
    EXPECT_EQ(ecr.displays[1].first, std::string("FORS\xD8KER \xC5 AVBRYTE  "));
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

TEST_F(DialogueTest, AbortByTheTerminal) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT"),
                                         message({element(PTAG_TERM_ABORT)}), completed(1, 0)});
    ecr.abortAnswer = [](int) { return 0; };
    startPayment();
    EXPECT_EQ(runLoop(), 1);
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 0u);
    // The terminal's abort stops the queries: asked once for the status line only.
    EXPECT_EQ(ecr.abortCalls, 1);
    bool sawAbortText = false;
    for (const auto& d : ecr.displays)
        sawAbortText |= d.first == "AVBR FRA TERMINAL   ";
    EXPECT_TRUE(sawAbortText);
}

TEST_F(DialogueTest, TerminalNotReadyThenResendAfterSixSeconds) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT")});
    startPayment();
    // Run until the resend's currency code is answered, then check and end.
    ecr.abortAnswer = [this](int) {
        if (terminal.countSent(PTAG_CURRENCYCODE) == 2 && SA_getState() == PSTATE_MI_CU &&
            terminal.inbox.empty())
            ctx.disconnectToTerminal = 1;
        return 0;
    };
    StdoutCapture capture;
    runLoop();
    const std::string out = capture.take();
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_NE(out.find("trstate - handleTermNotReady\n\n"), std::string::npos);
    EXPECT_NE(out.find("trstate - handleResend\n\n"), std::string::npos);
    EXPECT_EQ(terminal.sentTags(),
              (std::vector<std::uint8_t>{PTAG_MI, PTAG_CURRENCYCODE, PTAG_MI, PTAG_CURRENCYCODE}));
    // More than 6 whole seconds after "not ready" arrived.
    const std::int64_t notReadyAt = terminal.delivered[0].atMs / 1000;
    const std::int64_t resentAt = terminal.sent[2].atMs / 1000;
    EXPECT_EQ(resentAt - notReadyAt, 7);
    EXPECT_EQ(ecr.displays[0].first, "VENT                ");
    EXPECT_EQ(ctx.resendCount, 1);
}

TEST_F(DialogueTest, ResendFromNotReadyWithExternalCardPassesThroughOpen) {
    SA_setStateForTest(PSTATE_TERM_NOT_READY);
    ctx.request.confirmExtCard = 1;
    SA_EVENT resend{PEVENT_RESEND, 0};
    delete SA_handleEvent(&resend);
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_EQ(terminal.sentTags(),
              (std::vector<std::uint8_t>{PTAG_CONFIRMEEXTCARD, PTAG_MI, PTAG_CURRENCYCODE}));
}

TEST_F(DialogueTest, NoAnswerToTheRequestForMoreThanTenSeconds) {
    startPayment();
    const std::int64_t sentAt = terminal.sent[1].atMs / 1000;
    EXPECT_EQ(runLoop(), 6);
    EXPECT_EQ(nowSeconds() - sentAt, 11);
    EXPECT_EQ(ecr.lastDisplay(), std::make_pair(kBlank, std::string("INGEN FORBINDELSE T.")));
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

TEST_F(DialogueTest, NoMessageForMoreThanNinetyFiveSeconds) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT")});
    startPayment();
    const std::int64_t silentFrom = clock.nowMs() / 1000;
    EXPECT_EQ(runLoop(), 2);
    EXPECT_EQ(nowSeconds() - silentFrom, 96);
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 0u);
    EXPECT_EQ(ecr.lastDisplay(), std::make_pair(std::string("Sjekk siste kvitt.  "),
                                                std::string(" TIMEOUT            ")));
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

TEST_F(DialogueTest, NoMessageWhileThePromptIsShownAbortsThenTimesOut) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("BEKREFT BEL\xD8P")});
    terminal.replyTo(PTAG_TERM_ABORT, {}); // the terminal stays silent
    startPayment();
    EXPECT_EQ(runLoop(), 2);
    // One abort for the prompt, then the plain time-out in PSTATE_MI_CU.
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 1u);
    EXPECT_EQ(ecr.lastDisplay().second, " TIMEOUT            ");
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

TEST_F(DialogueTest, ConversionToAnAbortIsBoundedAfterTheCard) {
    // After the card, the terminal asks for confirmation and then says nothing more.
    terminalReadsCard();
    terminal.replyTo(PTAG_NORTRANS, {status1("BEKREFT BEL\xD8P")});
    startPayment();
    StdoutCapture capture;
    EXPECT_EQ(runLoop(), 2);
    const std::string out = capture.take();
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 3u);
    EXPECT_EQ(ctx.abortCounter, 3);
    EXPECT_NE(out.find("trstate - handleTimeout 11 2\n\n"), std::string::npos);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

TEST_F(DialogueTest, SignatureStep) {
    terminalReadsCard();
    terminal.replyTo(PTAG_NORTRANS, {message({element(PTAG_VER_SIG)})});
    terminal.replyTo(PTAG_VER_SIG_OK, {completed(0, 2)});
    ecr.verSigAnswer = 1;
    bool askedAfterSignature = false;
    ecr.abortAnswer = [&](int) {
        askedAfterSignature |= ecr.verSigCalls > 0;
        return 0;
    };
    startPayment();
    EXPECT_EQ(runLoop(), 0);
    EXPECT_EQ(ecr.verSigCalls, 1);
    EXPECT_EQ(terminal.sentTags().back(), PTAG_VER_SIG_OK);
    EXPECT_GT(ecr.abortCalls, 0);
    EXPECT_FALSE(askedAfterSignature); // the cash register may no longer abort
}

TEST_F(DialogueTest, ExternalCardVerdictFromTheTerminalsQuestion) {
    terminalReadsCard();
    terminal.replyTo(PTAG_NORTRANS, {message({element(PTAG_CONFIRM)})});
    terminal.replyTo(PTAG_EXTPOSNOTOK, {completed(1, 0)});
    ecr.extCardAnswer = 2;
    startPayment();
    EXPECT_EQ(runLoop(), 1);
    EXPECT_EQ(ecr.extCardCalls, 1);
    EXPECT_EQ(terminal.sent.back().bytes, (Bytes{0xE1, 0x02, 0xD0, 0x00}));
}

TEST_F(DialogueTest, AdviceFlagMovesOnAndTellsTheCashRegister) {
    terminal.replyTo(PTAG_CURRENCYCODE, {message({element(PTAG_ADVICE_FLAG)}), cardMessage()});
    terminalApprovesAndPrints();
    startPayment();
    EXPECT_EQ(runLoop(), 0);
    EXPECT_EQ(ecr.adviceCalls, 1);
    EXPECT_EQ(terminal.countSent(PTAG_NORTRANS), 1u); // PSTATE_MI_CU_AMOUNT took the card
}

TEST_F(DialogueTest, EmptyMessageIsTakenOnlyWhereTheTableHasIt) {
    // An unknown element carries no event number.
    terminal.replyTo(PTAG_CURRENCYCODE, {message({element(0xCA)}), completed(1, 0)});
    startPayment();
    StdoutCapture capture;
    EXPECT_EQ(runLoop(), 1);
    EXPECT_NE(capture.take().find("trstate - handleDefault\n"), std::string::npos);
}

TEST_F(DialogueTest, AdministrativeCommandEndsByIdle) {
    terminal.replyTo(PTAG_ADMIN, {status1("RAPPORT"), message({element(PTAG_TERM_IDLE, {0})})});
    startAdmin(1);
    EXPECT_EQ(terminal.sent[0].bytes, (Bytes{0xE1, 0x04, 0xD2, 0x02, 0x00, 0x01}));
    EXPECT_EQ(runLoop(), 0);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

// --- Exchanges the table alone would not end, or would end with a made-up result ---

TEST_F(DialogueTest, AdminPromptTimeOutInOpenIsHandledAsTimeOut) {
    terminal.replyTo(PTAG_ADMIN, {status1("VENTER P\xC5 HOST")});
    startAdmin(2);
    StdoutCapture capture;
    EXPECT_EQ(runLoop(), 2);
    const std::string out = capture.take();
    EXPECT_NE(out.find("trstate - handleTimeout 2 2\n\n"), std::string::npos);
    // The abort goes out once, and the till hears that the exchange timed out.
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 1u);
    EXPECT_EQ(ecr.lastDisplay(), std::make_pair(kBlank, std::string("AVBRUTT PGA TIMEOUT ")));
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

struct NoEntryCase {
    const char* name;
    int state;
    const char* line1;
};

class TimeOutWithoutEntryTest : public DialogueTest,
                                public ::testing::WithParamInterface<NoEntryCase> {};

TEST_P(TimeOutWithoutEntryTest, EndsWithResultTwoInOpen) {
    const auto& c = GetParam();
    ctx.requestKind = 1;
    std::memcpy(ctx.statusLine1.data(), c.line1, 20);
    std::memcpy(ctx.statusLine2.data(), kBlank.data(), 20);
    SA_setStateForTest(c.state);
    ctx.lastTerminalActivity = nowSeconds() - 96;
    StdoutCapture capture;
    EXPECT_EQ(runLoop(), 2);
    const std::string out = capture.take();
    EXPECT_NE(out.find("trstate - handleTimeout:95\n\n"), std::string::npos);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
    EXPECT_LE(terminal.countSent(PTAG_TERM_ABORT), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    States, TimeOutWithoutEntryTest,
    ::testing::Values(NoEntryCase{"MiCardswipePrompt", PSTATE_MI_CARDSWIPE, "BEKREFT             "},
                      NoEntryCase{"TermNotReady", PSTATE_TERM_NOT_READY, "VENT                "},
                      NoEntryCase{"TermNotReadyPrompt", PSTATE_TERM_NOT_READY,
                                  "VENTER              "},
                      NoEntryCase{"Idle", PSTATE_IDLE, "                    "}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(DialogueTest, TimeOutPastTheSecondAbortIsThePlainTimeOut) {
    // A prompt that stays on the display would have every time-out become one more abort.
    ctx.requestKind = 1;
    SA_setStateForTest(PSTATE_MI_CU_CARDSWIPE);
    std::memcpy(ctx.statusLine1.data(), "VENTER              ", 20);
    ctx.abortCounter = 3;
    ctx.lastTerminalActivity = nowSeconds() - 96;
    StdoutCapture capture;
    EXPECT_EQ(runLoop(), 2);
    const std::string out = capture.take();
    EXPECT_NE(out.find("trstate - handleTimeout 11 2\n\n"), std::string::npos) << out;
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 0u);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
}

TEST_F(DialogueTest, AbortWhileNotReadyWaitsForTheResend) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    terminal.replyTo(PTAG_TERM_ABORT, {completed(1, 0)});
    // The cash register says yes once, while the terminal is not ready.
    ecr.abortAnswer = [](int call) { return call == 1 ? 1 : 0; };
    startPayment();
    EXPECT_EQ(runLoop(), 1);
    EXPECT_EQ(ecr.abortCalls, 1);
    // The resend still came (the timers ran while the abort waited), then the abort.
    EXPECT_EQ(terminal.sentTags(), (std::vector<std::uint8_t>{PTAG_MI, PTAG_CURRENCYCODE, PTAG_MI,
                                                              PTAG_CURRENCYCODE, PTAG_TERM_ABORT}));
}

TEST_F(DialogueTest, AbortThatKeepsBeingAskedDoesNotStopTheTimers) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    terminal.replyTo(PTAG_TERM_ABORT, {completed(1, 0)});
    ecr.abortAnswer = [](int) { return 1; };
    startPayment();
    EXPECT_EQ(runLoop(), 1);
    EXPECT_EQ(ecr.abortCalls, 1); // kept, not asked again
    EXPECT_EQ(terminal.countSent(PTAG_MI), 2u);
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 1u);
}

TEST_F(DialogueTest, WaitingAbortIsDroppedOnceTheTerminalForbidsAborting) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    // After the resend the terminal is busy with the host.
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("ARBEJDER"), completed(0, 1)});
    ecr.abortAnswer = [](int call) { return call == 1 ? 1 : 0; };
    startPayment();
    ctx.cardReceived = ctx.track2LengthReceived = 1;
    runLoop();
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 0u);
}

TEST_F(DialogueTest, FourthNotReadyEndsWithTheTerminalsResult) {
    terminal.alwaysReplyTo(PTAG_CURRENCYCODE, {status1("TERMINAL OPPTATT"), completed(5, 0)});
    startPayment();
    EXPECT_EQ(runLoop(), 5);
    EXPECT_EQ(ctx.resendCount, MAX_RESENDS);
    EXPECT_EQ(terminal.countSent(PTAG_MI), 4u);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
    // Shown as a completion shows result 5: the terminal's line 1 stays.
    EXPECT_EQ(ecr.lastDisplay().first, "TERMINAL OPPTATT    ");
    EXPECT_EQ(line(ctx.statusLine2), kBlank);
}

struct CompletionCase {
    const char* name;
    int state;
    int requestKind;
    std::uint8_t result;
};

class CompletionWithoutEntryTest : public DialogueTest,
                                   public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionWithoutEntryTest, EndsAtOnceWithTheTerminalsResult) {
    const auto& c = GetParam();
    ctx.requestKind = c.requestKind;
    ctx.cardReceived = ctx.track2LengthReceived = 1;
    SA_setStateForTest(c.state);
    terminal.inbox.push_back(completed(c.result, 4));
    const std::int64_t start = clock.nowMs();
    EXPECT_EQ(runLoop(), c.result);
    EXPECT_EQ(clock.nowMs(), start); // no waiting for a time-out
    EXPECT_EQ(ctx.issuerID, 4);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
    EXPECT_EQ(ecr.displays.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    States, CompletionWithoutEntryTest,
    ::testing::Values(CompletionCase{"OpenAdminDone", PSTATE_OPEN, 2, 0},
                      CompletionCase{"OpenAdminFailed", PSTATE_OPEN, 3, 9},
                      CompletionCase{"OpenNoReceipt", PSTATE_OPEN, 2, 3},
                      CompletionCase{"AmountNoReceipt", PSTATE_MI_CU_AMOUNT, 1, 3},
                      CompletionCase{"AmountCardNoLog", PSTATE_MI_CU_AMOUNT_CARDSWIPE, 1, 4},
                      CompletionCase{"CardswipeNotReady", PSTATE_CARDSWIPE, 1, 5},
                      CompletionCase{"MiCardswipeNoReceipt", PSTATE_MI_CARDSWIPE, 1, 3},
                      CompletionCase{"MiCuCardswipeNoReceipt", PSTATE_MI_CU_CARDSWIPE, 1, 3},
                      CompletionCase{"MiCuCardswipeNoLog", PSTATE_MI_CU_CARDSWIPE, 1, 4},
                      CompletionCase{"MiCuCardswipeNotReady", PSTATE_MI_CU_CARDSWIPE, 1, 5}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(DialogueTest, EndingsTheTableHasStayAsTheyAre) {
    ctx.requestKind = 1;
    SA_setStateForTest(PSTATE_MI_CU);
    terminal.inbox.push_back(completed(3, 0));
    StdoutCapture capture;
    EXPECT_EQ(runLoop(), 3);
    EXPECT_NE(capture.take().find("trstate - handleNoReceipt\n\n"), std::string::npos);
    EXPECT_EQ(ecr.lastDisplay().second, "INGEN KVITT. TA KOPI");
}

TEST_F(DialogueTest, TheSecondHalfRunsAfterTheFirstEndedTheExchange) {
    ctx.requestKind = 1;
    ctx.callAbortFunc = 1;
    SA_setStateForTest(PSTATE_MI_CU);
    terminal.inbox.push_back(completed(1, 0));
    EXPECT_EQ(runLoop(), 1);
    EXPECT_EQ(ecr.abortCalls, 1);
}

} // namespace
} // namespace tarq::test

namespace tarq::test {
namespace {

TEST_F(EngineTest, PostEventTellsWhetherTheAutomatonAnswered) {
    bool answered = true;
    SA_setStateForTest(PSTATE_IDLE);
    EXPECT_EQ(postEvent(PEVENT_OPEN, &answered), 1);
    EXPECT_TRUE(answered);
    EXPECT_EQ(terminal.sent.back().bytes, (Bytes{0xE1, 0x02, 0xC0, 0x00}));
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);

    terminal.sendResults = {0};
    EXPECT_EQ(postEvent(PEVENT_CLOSE, &answered), 0); // answered, but not delivered
    EXPECT_TRUE(answered);

    SA_setStateForTest(PSTATE_OPEN);
    EXPECT_EQ(postEvent(PEVENT_ABORT, &answered), 0); // no entry: nothing to send
    EXPECT_FALSE(answered);

    SA_init(); // no arrays registered yet
    EXPECT_EQ(postEvent(PEVENT_OPEN, &answered), 0);
    EXPECT_FALSE(answered);
    EXPECT_EQ(terminal.sent.size(), 2u);
}

} // namespace
} // namespace tarq::test
