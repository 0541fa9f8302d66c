// The loop's own event sources: time-outs at their exact boundaries, the abort query, the
// signature step.
#include "engine_fixture.h"

#include "engine/handlers.h"

namespace tarq::test {
namespace {

TEST_F(EngineTest, TimersFireOnlyAfterMoreThanTheirSeconds) {
    enum class Timer { activity, notReady, answer };
    struct Case {
        Timer timer;
        std::int64_t elapsed;
        int expected; // -1: no event
    };
    const Case cases[] = {
        {Timer::activity, 95, -1}, {Timer::activity, 96, PEVENT_TIMEOUT},
        {Timer::notReady, 6, -1},  {Timer::notReady, 7, PEVENT_RESEND},
        {Timer::answer, 10, -1},   {Timer::answer, 11, PEVENT_TIMEOUT_NOCONNECTION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.timer) << " " << c.elapsed);
        const std::int64_t now = nowSeconds();
        const std::int64_t stamp = now - c.elapsed;
        ctx.lastTerminalActivity = c.timer == Timer::activity ? stamp : now;
        ctx.timeStampTermNotReady = c.timer == Timer::notReady ? stamp : 0;
        ctx.ecrRequestsAnswer = c.timer == Timer::answer;
        ctx.lastSendTime = stamp;
        freeCurrentEcrEvent();
        SA_EVENT* event = checkTimers();
        EXPECT_EQ(event ? event->event_id : -1, c.expected);
        // A timer that fired is disarmed; one that did not is left armed.
        const bool fired = c.expected >= 0;
        EXPECT_EQ(ctx.timeStampTermNotReady != 0, c.timer == Timer::notReady && !fired);
        EXPECT_EQ(ctx.ecrRequestsAnswer != 0, c.timer == Timer::answer && !fired);
        EXPECT_EQ(ctx.lastTerminalActivity, c.timer == Timer::activity ? stamp : now);
    }
}

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

// The prompt check sees line 2 as checkTimers sets it, so even past the third abort state 8
// keeps its abort entry.
TEST_F(EngineTest, TimeOutWithAPromptBecomesAnAbortAndRebuildsStateEight) {
    for (auto [line1, aborts] : {std::pair{"VENTER P\xC5 SVAR", 0}, {"BEKREFT", 3}}) {
        SCOPED_TRACE(line1);
        put(ctx.statusLine1, line1);
        put(ctx.statusLine2, "");
        ctx.abortCounter = aborts;
        ctx.lastTerminalActivity = nowSeconds() - 96;
        addEventArray(PSTATE_MI_CU_CARDSWIPE, nullptr);
        freeCurrentEcrEvent();
        SA_EVENT* event = checkTimers();
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->event_id, PEVENT_ABORT);
        EXPECT_EQ(line(ctx.statusLine2), "AVBRUTT PGA TIMEOUT ");
        ASSERT_NE(SA_getEventArray(PSTATE_MI_CU_CARDSWIPE), nullptr);
        EXPECT_EQ((*SA_getEventArray(PSTATE_MI_CU_CARDSWIPE))[PEVENT_TIMEOUT].handler, handleAbort);
    }
    EXPECT_TRUE(ecr.displays.empty()); // no display call here
}

// The signature step takes its iteration: no abort query, no time-out, no message.
TEST_F(EngineTest, SignatureStepSendsTheVerdictAndAsksNothingElse) {
    struct Case {
        bool registered;
        int callbackAnswer, verdict;
        std::uint8_t sentTag;
    };
    const Case cases[] = {
        {true, 1, 1, PTAG_VER_SIG_OK}, {true, 0, 2, PTAG_VER_SIG}, {false, 1, 2, PTAG_VER_SIG}};
    SA_setStateForTest(PSTATE_MI_CU_CARDSWIPE);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.registered << c.callbackAnswer);
        if (!c.registered) ctx.trqVerSigConfirm = nullptr;
        ecr.verSigAnswer = c.callbackAnswer;
        terminal.sent.clear();
        ctx.verSigPending = 1;
        ctx.callAbortFunc = 1;
        ctx.lastTerminalActivity = nowSeconds() - 200;
        const std::string out = captureStdout([] { EXPECT_EQ(getEvent(), nullptr); });
        EXPECT_EQ(out.rfind("\ntrqVerSigConfirm\ntrstate - handleVerSigAns\n", 0), 0u) << out;
        EXPECT_EQ(ctx.verSigPending, 0);
        EXPECT_EQ(ctx.verSigAnswer, c.verdict);
        EXPECT_EQ(terminal.sentTags(), Tags{c.sentTag});
        EXPECT_EQ(SA_getState(), PSTATE_MI_CU_CARDSWIPE);
    }
    EXPECT_EQ(ecr.abortCalls, 0);
}

} // namespace
} // namespace tarq::test
