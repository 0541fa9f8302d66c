// Whole exchanges through the automaton: a scripted terminal, the settable clock, the loop.
// Exact texts and answer bytes are checked by the handler and answer tests; here the paths.
#include "engine_fixture.h"

namespace tarq::test {
namespace {

class DialogueTest : public EngineTest {
  protected:
    // The terminal takes the currency code, shows its lines and reads the card.
    void terminalReadsCard() {
        terminal.replyTo(PTAG_CURRENCYCODE,
                         {status1("SETT INN KORT"),
                          message({element(PTAG_STATUS2, text("KR 123,45"))}), cardMessage()});
    }
    // The payment record is answered with a receipt, the receipt number with the completion.
    void terminalApprovesAndPrints() {
        terminal.replyTo(PTAG_NORTRANS,
                         {status1("GODKJENT"),
                          message({element(PTAG_LAST_RECEIPT),
                                   element(PTAG_TERM_RECEIPT, text("KVITTERING 123,45"))})});
        terminal.replyTo(PTAG_RECEIPTNUMBER, {completed(0, 3)});
    }
    // Runs the exchange to its end, which leaves the automaton open for the next call.
    int runToEnd() {
        int result = -1;
        out = captureStdout([&] { result = runLoop(); });
        EXPECT_EQ(SA_getState(), PSTATE_OPEN);
        return result;
    }
    bool logged(const std::string& s) const { return out.find(s) != std::string::npos; }
    std::string out;
};

TEST_F(DialogueTest, RoadOfOneCardPayment) {
    terminalReadsCard();
    terminalApprovesAndPrints();
    startPayment();
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_EQ(runToEnd(), 0);

    ASSERT_EQ(terminal.sentTags(),
              (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_NORTRANS, PTAG_RECEIPTNUMBER}));
    EXPECT_EQ(terminal.sent[1].atMs - terminal.sent[0].atMs, 200);
    EXPECT_EQ(terminal.sent[2].bytes.size(), 57u); // the 53-byte payment record
    // One receipt printed; the count goes back 600 ms after the receipt arrived.
    EXPECT_EQ(terminal.sent[3].bytes, (Bytes{0xE1, 0x03, 0xD7, 0x01, 0x01}));
    ASSERT_EQ(terminal.delivered.at(4).bytes[2], PTAG_LAST_RECEIPT);
    EXPECT_EQ(terminal.sent[3].atMs - terminal.delivered[4].atMs, 600);

    EXPECT_EQ(ecr.cards, std::vector<std::string>{kCardText});
    EXPECT_EQ(ecr.receipts, std::vector<std::string>{"KVITTERING 123,45"});
    EXPECT_EQ(ctx.issuerID, 3);
    // Status lines reached the cash register as sent; the end blanks line 1 for result 0.
    ASSERT_GE(ecr.displays.size(), 3u);
    EXPECT_EQ(ecr.displays[0].first, "SETT INN KORT       ");
    EXPECT_EQ(ecr.displays[1].second, "KR 123,45           ");
    EXPECT_EQ(ecr.lastDisplay().first, kBlank);
}

TEST_F(DialogueTest, ExternalCardConfirmationGoesFirst) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(1, 0)});
    startPayment(/*confirmExtCard=*/1);
    EXPECT_EQ(terminal.sentTags(), (Tags{PTAG_CONFIRMEEXTCARD, PTAG_MI, PTAG_CURRENCYCODE}));
    EXPECT_EQ(terminal.sent[2].atMs - terminal.sent[1].atMs, 200);
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_EQ(runToEnd(), 1);
}

TEST_F(DialogueTest, RefusedCardIsAborted) {
    ecr.cardAnswer = 0;
    terminalReadsCard();
    terminal.replyTo(PTAG_TERM_ABORT, {message({element(PTAG_TERM_ABORT)}), completed(7, 0)});
    startPayment();
    EXPECT_EQ(runToEnd(), 7);
    EXPECT_EQ(terminal.sentTags(), (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_TERM_ABORT}));
    EXPECT_EQ(ctx.abortCounter, 1);
}

TEST_F(DialogueTest, AbortFromTheCashRegisterIsAskedForOnce) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT")});
    terminal.replyTo(PTAG_TERM_ABORT, {message({element(PTAG_TERM_ABORT)}), completed(1, 0)});
    ecr.abortAnswer = [](int call) { return call >= 3 ? 1 : 0; }; // keeps saying yes
    startPayment();
    EXPECT_EQ(runToEnd(), 1);
    EXPECT_EQ(ecr.abortCalls, 3);
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 1);
}

TEST_F(DialogueTest, AbortByTheTerminal) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT"),
                                         message({element(PTAG_TERM_ABORT)}), completed(1, 0)});
    startPayment();
    EXPECT_EQ(runToEnd(), 1);
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 0);
    // The terminal's abort stops the queries: asked once for the status line only.
    EXPECT_EQ(ecr.abortCalls, 1);
}

TEST_F(DialogueTest, TerminalNotReadyThenResendAfterSixSeconds) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT")});
    startPayment();
    // Stop once the resent currency code is answered.
    ecr.abortAnswer = [this](int) {
        if (terminal.countSent(PTAG_CURRENCYCODE) == 2 && SA_getState() == PSTATE_MI_CU &&
            terminal.inbox.empty())
            ctx.disconnectToTerminal = 1;
        return 0;
    };
    out = captureStdout([&] { runLoop(); });
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_TRUE(logged("trstate - handleResend\n\n"));
    EXPECT_EQ(terminal.sentTags(), (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_MI, PTAG_CURRENCYCODE}));
    // More than 6 whole seconds after "not ready" arrived.
    EXPECT_EQ(terminal.sent[2].atMs / 1000 - terminal.delivered[0].atMs / 1000, 7);
    EXPECT_EQ(ctx.resendCount, 1);
}

TEST_F(DialogueTest, ResendFromNotReadyWithExternalCardPassesThroughOpen) {
    SA_setStateForTest(PSTATE_TERM_NOT_READY);
    ctx.request.confirmExtCard = 1;
    SA_EVENT resend{PEVENT_RESEND, 0};
    delete SA_handleEvent(&resend);
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU);
    EXPECT_EQ(terminal.sentTags(), (Tags{PTAG_CONFIRMEEXTCARD, PTAG_MI, PTAG_CURRENCYCODE}));
}

TEST_F(DialogueTest, NoAnswerToTheRequestForMoreThanTenSeconds) {
    startPayment();
    const std::int64_t sentAt = terminal.sent[1].atMs / 1000;
    EXPECT_EQ(runToEnd(), 6);
    EXPECT_EQ(nowSeconds() - sentAt, 11);
}

TEST_F(DialogueTest, NoMessageForMoreThanNinetyFiveSeconds) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("SETT INN KORT")});
    startPayment();
    const std::int64_t silentFrom = nowSeconds();
    EXPECT_EQ(runToEnd(), 2);
    EXPECT_EQ(nowSeconds() - silentFrom, 96);
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 0);
    EXPECT_EQ(ecr.lastDisplay().second, " TIMEOUT            ");
}

TEST_F(DialogueTest, NoMessageWhileThePromptIsShownAbortsThenTimesOut) {
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("BEKREFT BEL\xD8P")});
    terminal.replyTo(PTAG_TERM_ABORT, {}); // the terminal stays silent
    startPayment();
    EXPECT_EQ(runToEnd(), 2);
    // One abort for the prompt, then the plain time-out in PSTATE_MI_CU.
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 1);
    EXPECT_EQ(ecr.lastDisplay().second, " TIMEOUT            ");
}

TEST_F(DialogueTest, ConversionToAnAbortIsBoundedAfterTheCard) {
    // After the card, the terminal asks for confirmation and then says nothing more.
    terminalReadsCard();
    terminal.replyTo(PTAG_NORTRANS, {status1("BEKREFT BEL\xD8P")});
    startPayment();
    EXPECT_EQ(runToEnd(), 2);
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 3);
    EXPECT_EQ(ctx.abortCounter, 3);
    EXPECT_TRUE(logged("trstate - handleTimeout 11 2\n\n"));
}

TEST_F(DialogueTest, SignatureStep) {
    terminalReadsCard();
    terminal.replyTo(PTAG_NORTRANS, {message({element(PTAG_VER_SIG)})});
    terminal.replyTo(PTAG_VER_SIG_OK, {completed(0, 2)});
    bool askedAfterSignature = false;
    ecr.abortAnswer = [&](int) {
        askedAfterSignature |= ecr.verSigCalls > 0;
        return 0;
    };
    startPayment();
    EXPECT_EQ(runToEnd(), 0);
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
    EXPECT_EQ(runToEnd(), 1);
    EXPECT_EQ(ecr.extCardCalls, 1);
    EXPECT_EQ(terminal.sentTags().back(), PTAG_EXTPOSNOTOK);
}

TEST_F(DialogueTest, AdviceFlagMovesOnAndTellsTheCashRegister) {
    terminal.replyTo(PTAG_CURRENCYCODE, {message({element(PTAG_ADVICE_FLAG)}), cardMessage()});
    terminalApprovesAndPrints();
    startPayment();
    EXPECT_EQ(runToEnd(), 0);
    EXPECT_EQ(ecr.adviceCalls, 1);
    EXPECT_EQ(terminal.countSent(PTAG_NORTRANS), 1); // PSTATE_MI_CU_AMOUNT took the card
}

TEST_F(DialogueTest, AdministrativeCommandEndsByIdle) {
    terminal.replyTo(PTAG_ADMIN, {status1("RAPPORT"), message({element(PTAG_TERM_IDLE, {0})})});
    startAdmin(1);
    EXPECT_EQ(runToEnd(), 0);
    EXPECT_EQ(terminal.sentTags(), Tags{PTAG_ADMIN});
}

// --- Exchanges the table alone would not end, or would end with a made-up result ---

TEST_F(DialogueTest, AdminPromptTimeOutInOpenIsHandledAsTimeOut) {
    terminal.replyTo(PTAG_ADMIN, {status1("VENTER P\xC5 HOST")});
    startAdmin(2);
    EXPECT_EQ(runToEnd(), 2);
    EXPECT_TRUE(logged("trstate - handleTimeout 2 2\n\n"));
    // The abort goes out once, and the till hears that the exchange timed out.
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 1);
    EXPECT_EQ(ecr.lastDisplay(), std::make_pair(kBlank, std::string("AVBRUTT PGA TIMEOUT ")));
}

struct NoEntryCase {
    const char* name;
    int state;
    const char* line1;
    int abortCounter;
    long abortsSent;
};

class TimeOutWithoutEntryTest : public DialogueTest,
                                public ::testing::WithParamInterface<NoEntryCase> {};

TEST_P(TimeOutWithoutEntryTest, EndsByTheTimeOutHandlerWithResultTwoInOpen) {
    const auto& c = GetParam();
    ctx.requestKind = 1;
    put(ctx.statusLine1, c.line1);
    put(ctx.statusLine2, "");
    ctx.abortCounter = c.abortCounter;
    SA_setStateForTest(c.state);
    ctx.lastTerminalActivity = nowSeconds() - 96;
    EXPECT_EQ(runToEnd(), 2);
    EXPECT_TRUE(logged("trstate - handleTimeout:95\n\n"));
    EXPECT_TRUE(logged(c.abortsSent ? "trstate - handleTimeout 2 2\n\n"
                                    : "trstate - handleTimeout 11 2\n\n"));
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), c.abortsSent);
}

// A prompt turns the time-out into an abort; past the second abort it stays the time-out.
INSTANTIATE_TEST_SUITE_P(
    States, TimeOutWithoutEntryTest,
    ::testing::Values(NoEntryCase{"MiCardswipePrompt", PSTATE_MI_CARDSWIPE, "BEKREFT", 0, 1},
                      NoEntryCase{"TermNotReady", PSTATE_TERM_NOT_READY, "VENT", 0, 0},
                      NoEntryCase{"TermNotReadyPrompt", PSTATE_TERM_NOT_READY, "VENTER", 0, 1},
                      NoEntryCase{"Idle", PSTATE_IDLE, "", 0, 0},
                      NoEntryCase{"PastSecondAbort", PSTATE_MI_CU_CARDSWIPE, "VENTER", 3, 0}),
    caseName<NoEntryCase>);

struct WaitingAbortCase {
    const char* name;
    bool keepsAsking;
};

class WaitingAbortTest : public DialogueTest,
                         public ::testing::WithParamInterface<WaitingAbortCase> {};

// Asked while the terminal is not ready: kept until the resend, the timers still running.
TEST_P(WaitingAbortTest, ResendStillComesThenTheAbort) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    terminal.replyTo(PTAG_TERM_ABORT, {completed(1, 0)});
    ecr.abortAnswer = [keeps = GetParam().keepsAsking](int call) { return keeps || call == 1; };
    startPayment();
    EXPECT_EQ(runToEnd(), 1);
    EXPECT_EQ(ecr.abortCalls, 1); // kept, not asked again
    EXPECT_EQ(terminal.sentTags(),
              (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_MI, PTAG_CURRENCYCODE, PTAG_TERM_ABORT}));
}

INSTANTIATE_TEST_SUITE_P(Answers, WaitingAbortTest,
                         ::testing::Values(WaitingAbortCase{"YesOnce", false},
                                           WaitingAbortCase{"YesAlways", true}),
                         caseName<WaitingAbortCase>);

TEST_F(DialogueTest, WaitingAbortIsDroppedOnceTheTerminalForbidsAborting) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    // After the resend the terminal is busy with the host.
    terminal.replyTo(PTAG_CURRENCYCODE, {status1("ARBEJDER"), completed(0, 1)});
    ecr.abortAnswer = [](int call) { return call == 1 ? 1 : 0; };
    startPayment();
    ctx.cardReceived = ctx.track2LengthReceived = 1;
    runToEnd();
    EXPECT_EQ(terminal.countSent(PTAG_TERM_ABORT), 0);
}

TEST_F(DialogueTest, FourthNotReadyEndsWithTheTerminalsResult) {
    terminal.alwaysReplyTo(PTAG_CURRENCYCODE, {status1("TERMINAL OPPTATT"), completed(5, 0)});
    startPayment();
    EXPECT_EQ(runToEnd(), 5);
    EXPECT_EQ(ctx.resendCount, MAX_RESENDS);
    EXPECT_EQ(terminal.countSent(PTAG_MI), 4);
    // Shown as a completion shows result 5: the terminal's line 1 stays.
    EXPECT_EQ(ecr.lastDisplay().first, "TERMINAL OPPTATT    ");
    EXPECT_EQ(line(ctx.statusLine2), kBlank);
}

struct CompletionCase {
    const char* name;
    int state;
    int requestKind;
    std::uint8_t result;
    const char* shown2; // nullptr: whatever handleTransComplete shows
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
    EXPECT_EQ(runToEnd(), c.result);
    EXPECT_EQ(clock.nowMs(), start); // no waiting for a time-out
    EXPECT_EQ(ctx.issuerID, 4);
    ASSERT_EQ(ecr.displays.size(), 1u);
    if (c.shown2) {
        EXPECT_EQ(ecr.displays[0].second, c.shown2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, CompletionWithoutEntryTest,
    ::testing::Values(
        CompletionCase{"OpenAdminDone", PSTATE_OPEN, 2, 0, nullptr},
        CompletionCase{"OpenAdminFailed", PSTATE_OPEN, 3, 9, nullptr},
        CompletionCase{"OpenNoReceipt", PSTATE_OPEN, 2, 3, nullptr},
        CompletionCase{"AmountNoReceipt", PSTATE_MI_CU_AMOUNT, 1, 3, nullptr},
        CompletionCase{"AmountCardNoLog", PSTATE_MI_CU_AMOUNT_CARDSWIPE, 1, 4, nullptr},
        CompletionCase{"CardswipeNotReady", PSTATE_CARDSWIPE, 1, 5, nullptr},
        CompletionCase{"MiCardswipeNoReceipt", PSTATE_MI_CARDSWIPE, 1, 3, nullptr},
        CompletionCase{"MiCuCardswipeNoLog", PSTATE_MI_CU_CARDSWIPE, 1, 4, nullptr},
        CompletionCase{"MiCuCardswipeNotReady", PSTATE_MI_CU_CARDSWIPE, 1, 5, nullptr},
        // Where the table has an entry, it still decides.
        CompletionCase{"MiCuNoReceiptByItsEntry", PSTATE_MI_CU, 1, 3, "INGEN KVITT. TA KOPI"}),
    caseName<CompletionCase>);

TEST_F(EngineTest, PostEventTellsWhetherTheAutomatonAnswered) {
    bool answered = true;
    SA_setStateForTest(PSTATE_IDLE);
    EXPECT_EQ(postEvent(PEVENT_OPEN, &answered), 1);
    EXPECT_TRUE(answered);
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
    EXPECT_EQ(terminal.sentTags(), (Tags{PTAG_TERM_OPEN, PTAG_TERM_CLOSE}));
}

} // namespace
} // namespace tarq::test
