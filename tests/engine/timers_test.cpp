// The loop's own event sources: time-outs at their exact boundaries, the abort query, the
// signature step.
#include "engine_fixture.h"

#include "engine/handlers.h"

namespace tarq::test {
namespace {

enum class Timer { terminal, notReady, answer };

struct BoundaryCase {
    const char* name;
    Timer timer;
    std::int64_t elapsed;
    int expected; // -1: no event
};

class TimerBoundaryTest : public EngineTest, public ::testing::WithParamInterface<BoundaryCase> {};

TEST_P(TimerBoundaryTest, FiresOnlyAfterMoreThanItsSeconds) {
    const auto& c = GetParam();
    const std::int64_t now = nowSeconds();
    ctx.lastTerminalActivity = now;
    switch (c.timer) {
    case Timer::terminal:
        ctx.lastTerminalActivity = now - c.elapsed;
        break;
    case Timer::notReady:
        ctx.timeStampTermNotReady = now - c.elapsed;
        break;
    case Timer::answer:
        ctx.ecrRequestsAnswer = 1;
        ctx.lastSendTime = now - c.elapsed;
        break;
    }
    SA_EVENT* event = checkTimers();
    if (c.expected < 0) {
        EXPECT_EQ(event, nullptr);
        // Nothing fired, nothing disarmed.
        if (c.timer == Timer::notReady) {
            EXPECT_NE(ctx.timeStampTermNotReady, 0);
        }
        if (c.timer == Timer::answer) {
            EXPECT_EQ(ctx.ecrRequestsAnswer, 1);
        }
    } else {
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->event_id, c.expected);
        if (c.timer == Timer::notReady) {
            EXPECT_EQ(ctx.timeStampTermNotReady, 0);
        }
        if (c.timer == Timer::answer) {
            EXPECT_EQ(ctx.ecrRequestsAnswer, 0);
        }
        if (c.timer == Timer::terminal) {
            EXPECT_EQ(ctx.lastTerminalActivity, now - c.elapsed);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, TimerBoundaryTest,
    ::testing::Values(BoundaryCase{"Terminal95", Timer::terminal, 95, -1},
                      BoundaryCase{"Terminal96", Timer::terminal, 96, PEVENT_TIMEOUT},
                      BoundaryCase{"NotReady6", Timer::notReady, 6, -1},
                      BoundaryCase{"NotReady7", Timer::notReady, 7, PEVENT_RESEND},
                      BoundaryCase{"Answer10", Timer::answer, 10, -1},
                      BoundaryCase{"Answer11", Timer::answer, 11, PEVENT_TIMEOUT_NOCONNECTION}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(EngineTest, WholeSecondsAreCompared) {
    // 95.999 s after a stamp taken at a whole second is still 95 whole seconds.
    initGlobals();
    clock.advanceMs(95'999);
    EXPECT_EQ(checkTimers(), nullptr);
    clock.advanceMs(1);
    ASSERT_NE(checkTimers(), nullptr);
}

TEST_F(EngineTest, TimeOutComesFirstAndTheOthersWaitTheirTurn) {
    const std::int64_t now = nowSeconds();
    ctx.lastTerminalActivity = now - 100;
    ctx.timeStampTermNotReady = now - 100;
    ctx.ecrRequestsAnswer = 1;
    ctx.lastSendTime = now - 100;
    // The loop frees the previous record before each getEvent.
    auto next = [] {
        freeCurrentEcrEvent();
        SA_EVENT* e = checkTimers();
        return e ? e->event_id : -1;
    };
    EXPECT_EQ(next(), PEVENT_TIMEOUT);
    EXPECT_NE(ctx.timeStampTermNotReady, 0);
    ctx.lastTerminalActivity = now;
    EXPECT_EQ(next(), PEVENT_RESEND);
    EXPECT_EQ(next(), PEVENT_TIMEOUT_NOCONNECTION);
    EXPECT_EQ(next(), -1);
}

TEST_F(EngineTest, TimeOutWithAPromptBecomesAnAbortAndRebuildsStateEight) {
    std::memcpy(ctx.statusLine1.data(), "VENTER P\xC5 SVAR      ", 20);
    ctx.lastTerminalActivity = nowSeconds() - 96;
    SA_EVENT* event = checkTimers();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->event_id, PEVENT_ABORT);
    EXPECT_EQ(line(ctx.statusLine2), "AVBRUTT PGA TIMEOUT ");
    EXPECT_EQ((*SA_getEventArray(PSTATE_MI_CU_CARDSWIPE))[PEVENT_TIMEOUT].handler, handleAbort);
    EXPECT_TRUE(ecr.displays.empty()); // no display call here
}

TEST_F(EngineTest, AfterThreeAbortsStateEightSeesTheNewDisplay) {
    std::memcpy(ctx.statusLine1.data(), "BEKREFT             ", 20);
    ctx.abortCounter = 3;
    ctx.lastTerminalActivity = nowSeconds() - 96;
    addEventArray(PSTATE_MI_CU_CARDSWIPE, nullptr);
    SA_EVENT* event = checkTimers();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->event_id, PEVENT_ABORT);
    ASSERT_NE(SA_getEventArray(PSTATE_MI_CU_CARDSWIPE), nullptr);
    EXPECT_EQ((*SA_getEventArray(PSTATE_MI_CU_CARDSWIPE))[PEVENT_TIMEOUT].handler,
              handleAbort); // "AVBRUTT PGA TIMEOUT" on line 2 now counts
}

TEST_F(EngineTest, SignatureStepAsksNothingElseInItsIteration) {
    SA_setStateForTest(PSTATE_MI_CU_CARDSWIPE);
    ctx.verSigPending = 1;
    ctx.callAbortFunc = 1;
    ctx.lastTerminalActivity = nowSeconds() - 200;
    ecr.verSigAnswer = 1;
    StdoutCapture capture;
    EXPECT_EQ(getEvent(), nullptr);
    const std::string out = capture.take();
    EXPECT_EQ(out.rfind("\ntrqVerSigConfirm\ntrstate - handleVerSigAns\n", 0), 0u) << out;
    EXPECT_EQ(ctx.verSigPending, 0);
    EXPECT_EQ(ctx.verSigAnswer, 1);
    EXPECT_EQ(ecr.abortCalls, 0);
    EXPECT_EQ(terminal.sentTags(), std::vector<std::uint8_t>{PTAG_VER_SIG_OK});
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU_CARDSWIPE);
}

struct VerSigCase {
    const char* name;
    bool registered;
    int callbackAnswer;
    int verdict;
    std::uint8_t sentTag;
};

class VerSigTest : public EngineTest, public ::testing::WithParamInterface<VerSigCase> {};

TEST_P(VerSigTest, VerdictIsRecordedAndSent) {
    const auto& c = GetParam();
    SA_setStateForTest(PSTATE_MI_CU_AMOUNT_CARDSWIPE);
    if (!c.registered) ctx.trqVerSigConfirm = nullptr;
    ecr.verSigAnswer = c.callbackAnswer;
    sendVerSigAnswer();
    EXPECT_EQ(ctx.verSigAnswer, c.verdict);
    EXPECT_EQ(terminal.sentTags(), std::vector<std::uint8_t>{c.sentTag});
}

INSTANTIATE_TEST_SUITE_P(Verdicts, VerSigTest,
                         ::testing::Values(VerSigCase{"Accepted", true, 1, 1, PTAG_VER_SIG_OK},
                                           VerSigCase{"Rejected", true, 0, 2, PTAG_VER_SIG},

                                           VerSigCase{"NoSlot", false, 1, 2, PTAG_VER_SIG}),
                         [](const auto& tp) { return std::string(tp.param.name); });

} // namespace
} // namespace tarq::test
