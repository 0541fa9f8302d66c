// Driver context reset, the automaton's dispatch rules and the display prompt test.
#include "protocol_fixture.h"

#include <cstring>

namespace tarq::test {
namespace {

class CoreTest : public ProtocolTest {
  protected:
    void TearDown() override {
        SA_init();
        ProtocolTest::TearDown();
    }
};

TEST_F(CoreTest, InitGlobalsResetsThePerCallPartAndKeepsTheRest) {
    using Field = std::int32_t DriverContext::*;
    using D = DriverContext;
    // Per-call fields with the value each call starts with.
    const std::pair<Field, std::int32_t> perCall[] = {
        {&D::adminCode, 0},         {&D::disconnectToTerminal, 0}, {&D::gstResultData, 1},
        {&D::issuerID, 0},          {&D::tagIssuerID, 0},          {&D::receiptSegment, 1},
        {&D::track2Length, 19},     {&D::cardReceived, 0},         {&D::track2LengthReceived, 0},
        {&D::ecrRequestsAnswer, 0}, {&D::callAbortFunc, 0},        {&D::verSigPending, 0},
        {&D::receivedLength, 0}};
    const Field kept[] = {&D::openStatus,   &D::baudRate,     &D::requestKind,
                          &D::abortCounter, &D::verSigAnswer, &D::extCardAnswer};
    for (auto [field, value] : perCall)
        ctx.*field = 57;
    for (Field field : kept)
        ctx.*field = 57;
    ctx.comPort = 3;
    ctx.request.amount = 12345;
    ctx.request.confirmExtCard = 0;
    ctx.statusLine1.fill('x');
    ctx.statusLine2.fill('y');
    ctx.gstPosReceiptInfo.receipts = 4;
    ctx.gstReceiptData.fill('r');
    ctx.cardData.fill(0x12);
    ctx.timeStampTermNotReady = 99;
    ctx.lastSendTime = 77;
    ctx.lastTerminalActivity = 1;
    clock_.advanceMs(10000);

    initGlobals();

    for (std::size_t i = 0; i < std::size(perCall); ++i)
        EXPECT_EQ(ctx.*perCall[i].first, perCall[i].second) << "per-call field " << i;
    for (std::size_t i = 0; i < std::size(kept); ++i)
        EXPECT_EQ(ctx.*kept[i], 57) << "kept field " << i;
    EXPECT_EQ(ctx.request.confirmExtCard, 1);
    EXPECT_EQ(ctx.statusLine1, StatusLine{});
    EXPECT_EQ(ctx.statusLine2, StatusLine{});
    EXPECT_EQ(ctx.gstPosReceiptInfo.receipts, 0);
    EXPECT_EQ(ctx.timeStampTermNotReady, 0);
    EXPECT_EQ(ctx.lastTerminalActivity, nowSeconds());
    // The receipt and card buffers are overwritten as new data comes, not here.
    EXPECT_EQ(ctx.comPort, 3);
    EXPECT_EQ(ctx.request.amount, 12345);
    EXPECT_EQ(ctx.gstReceiptData[1000], 'r');
    EXPECT_EQ(ctx.cardData[18], 0x12);
    EXPECT_EQ(ctx.lastSendTime, 77);
}

int handlerCalls = 0;
SA_ANSWER* answerOpen(SA_EVENT*) {
    ++handlerCalls;
    auto* a = new SA_ANSWER;
    a->answer_ID = 7;
    return a;
}
SA_ANSWER* noAnswer(SA_EVENT*) {
    ++handlerCalls;
    return nullptr;
}
SA_EVENT_ARRAY arrayIdle;
SA_EVENT_ARRAY arrayOpen;
// Rewrites the entry that is running: the entry's next state is read after the handler.
SA_ANSWER* rewritesOwnEntry(SA_EVENT*) {
    ++handlerCalls;
    addEvent(&arrayOpen, PEVENT_STATUS, PSTATE_MI, rewritesOwnEntry);
    return nullptr;
}

TEST_F(CoreTest, DispatchRules) {
    SA_init();
    SA_EVENT event;
    initEvent(&event);
    EXPECT_EQ(event.event_id, PEVENT_EMPTY);
    EXPECT_EQ(event.reserved, 0);

    // Nothing registered yet.
    event.event_id = PEVENT_OPEN;
    EXPECT_EQ(SA_handleEvent(&event), nullptr);
    EXPECT_EQ(SA_getState(), PSTATE_IDLE);

    initEventArray(&arrayIdle);
    initEventArray(&arrayOpen);
    addEvent(&arrayIdle, PEVENT_OPEN, PSTATE_OPEN, answerOpen);
    addEvent(&arrayOpen, PEVENT_CLOSE, PSTATE_IDLE, noAnswer);
    addEvent(&arrayOpen, PEVENT_STATUS, PSTATE_OPEN, rewritesOwnEntry);
    // Out-of-range entries change nothing.
    addEvent(&arrayOpen, PEVENT_ABORT, PSTATE_UNSET, noAnswer);
    addEvent(&arrayOpen, 40, PSTATE_IDLE, noAnswer);
    addEvent(&arrayOpen, -1, PSTATE_IDLE, noAnswer);
    addEvent(&arrayOpen, PEVENT_MI, -1, noAnswer);
    EXPECT_EQ(arrayOpen[PEVENT_ABORT].handler, nullptr);
    EXPECT_EQ(arrayOpen[PEVENT_MI].handler, nullptr);
    addEventArray(PSTATE_IDLE, &arrayIdle);
    addEventArray(PSTATE_OPEN, &arrayOpen);
    addEventArray(PSTATE_UNSET, &arrayOpen);
    addEventArray(-1, &arrayOpen);
    EXPECT_EQ(SA_getEventArray(PSTATE_UNSET), nullptr);

    handlerCalls = 0;
    SA_ANSWER* answer = SA_handleEvent(&event);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->answer_ID, 7u);
    delete answer;
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);

    // No entry: no handler, state kept.
    for (int id : {PEVENT_ABORT, PEVENT_OPEN, 40, -1, 1000}) {
        event.event_id = id;
        EXPECT_EQ(SA_handleEvent(&event), nullptr) << id;
        EXPECT_EQ(SA_getState(), PSTATE_OPEN) << id;
    }
    EXPECT_EQ(handlerCalls, 1);

    // A handler without an answer still moves the state.
    event.event_id = PEVENT_STATUS;
    EXPECT_EQ(SA_handleEvent(&event), nullptr);
    EXPECT_EQ(SA_getState(), PSTATE_MI);

    // State out of range: nothing happens.
    event.event_id = PEVENT_OPEN;
    for (int state : {10, -1}) {
        SA_setStateForTest(state);
        EXPECT_EQ(SA_handleEvent(&event), nullptr);
        EXPECT_EQ(SA_getState(), state);
    }
    EXPECT_EQ(SA_handleEvent(nullptr), nullptr);

    SA_init();
    EXPECT_EQ(SA_getState(), PSTATE_IDLE);
    EXPECT_EQ(SA_getEventArray(PSTATE_IDLE), nullptr);
}

TEST_F(CoreTest, AbortablePrompts) {
    struct Case {
        const char* line1;
        const char* line2;
        bool prompt;
    };
    const Case cases[] = {
        {"BEKREFT BELØP       ", "                    ", true},
        {"BEKREF              ", "                    ", false},
        {"bekreft             ", "                    ", false},
        {"VENTER PÅ KORT      ", "                    ", true},
        {" VENTER             ", "                    ", false},
        {"                    ", "RESERVE             ", true},
        {"                    ", " RESERVE            ", true},
        {"                    ", "  RESERVE           ", false},
        {"                    ", "AVBRUTT PGA TIMEOUT ", true},
        {"                    ", "AVBRUTT PGA TIMEOU  ", false},
        {"RESERVE             ", "BEKREFT             ", false},
        {"GODKJENT            ", "                    ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.line1 << "|" << c.line2);
        std::memcpy(ctx.statusLine1.data(), c.line1, 20);
        std::memcpy(ctx.statusLine2.data(), c.line2, 20);
        EXPECT_EQ(isAbortablePrompt(), c.prompt);
    }
    ctx.statusLine1.fill('\0');
    ctx.statusLine2.fill('\0');
    EXPECT_FALSE(isAbortablePrompt());
}

} // namespace
} // namespace tarq::test
