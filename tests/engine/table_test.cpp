// The transition table, state by state, written out independently of the builders.
#include "engine_fixture.h"

#include "engine/handlers.h"

#include <array>

namespace tarq::test {
namespace {

struct Entry {
    int event;
    SA_HANDLER handler;
    int next;
};

struct StateTable {
    int state;
    const char* name;
    std::vector<Entry> entries;
};

std::vector<Entry> miCuEntries() {
    std::vector<Entry> e = {
        {PEVENT_STATUS, handleStatusState, 3},
        {PEVENT_CARDSWIPE, handleCardswipe, 8},
        {PEVENT_CARDNAME, handlecardname, 8},
        {PEVENT_ABORT, handleAbort, 3},
        {PEVENT_AMOUNT, handleAmount, 4},
        {PEVENT_ADVICE_FLAG, handleAdviceFlag, 4},
        {PEVENT_TIMEOUT, handleTimeout, 1},
        {PEVENT_TIMEOUT_NOCONNECTION, handleNoConnection, 1},
        {PEVENT_NO_RECEIPT, handleNoReceipt, 1},
        {PEVENT_NO_LOG, handleNoLog, 1},
        {PEVENT_CONFIRM_EXTCARD, handleConfirmExtCard, 3},
        {PEVENT_TRANS_COMPLETED, handleTransComplete, 1},
        {PEVENT_TERM_NOT_READY, handleTermNotReady, 9},
        {PEVENT_REFUND, handleRefund, 3},
        {PEVENT_EMPTY, handleDefault, 3},
        {PEVENT_OKPOS, handleDefault, 3},
        {PEVENT_ADMIN, handleDefault, 3},
        {PEVENT_CONFIRM, handleDefault, 3},
        {PEVENT_RECEIPT_FINAL, handleReceipt, 1},
        {PEVENT_RECEIPT, handleReceipt, 3},
        {PEVENT_VERSIG_ANSWER, handleDefault, 3},
        {PEVENT_VERSIG_ASK, handleDefault, 3},
    };
    for (int spare : {13, 14, 15, 16, 18, 20, 21, 22})
        e.push_back({spare, handleDefault, 3});
    return e;
}

const std::vector<StateTable>& expectedTable() {
    static const std::vector<StateTable> table = {
        {0, "Idle", {{PEVENT_OPEN, handleOpen, 1}, {PEVENT_CLOSE, handleClose, 0}}},
        {1,
         "Open",
         {{PEVENT_CLOSE, handleClose, 0},
          {PEVENT_MI, handleMI, 2},
          {PEVENT_CARDSWIPE, handleCardswipe, 6},
          {PEVENT_CARDNAME, handlecardname, 6},
          {PEVENT_ADMIN, handleAdmin, 1},
          {PEVENT_RECEIPT_FINAL, handleReceipt, 1},
          {PEVENT_RECEIPT, handleReceipt, 1},
          {PEVENT_ADVICE_FLAG, handleAdviceFlag, 1},
          {PEVENT_REFUND, handleRefund, 1},
          {PEVENT_CONFIRM_EXTCARD, handleConfirmExtCard, 1},
          {PEVENT_STATUS, handleStatusState, 1},
          {PEVENT_IDLE, handleIdle, 1},
          {PEVENT_TIMEOUT, handleTimeout, 1},
          {PEVENT_TIMEOUT_NOCONNECTION, handleNoConnection, 1}}},
        {2,
         "Mi",
         {{PEVENT_CARDSWIPE, handleCardswipe, 7},
          {PEVENT_CARDNAME, handlecardname, 7},
          {PEVENT_SPARE_14, handleAbort, 2},
          {PEVENT_ABORT, handleAbort, 2},
          {PEVENT_CURRENCYCODE, handleCurrenycode, 3},
          {PEVENT_ADVICE_FLAG, handleAdviceFlag, 3},
          {PEVENT_TIMEOUT, handleTimeout, 1},
          {PEVENT_CONFIRM_EXTCARD, handleTimeout, 1},
          {PEVENT_TRANS_COMPLETED, handleTransComplete, 1},
          {PEVENT_STATUS, handleStatusState, 2}}},
        {3, "MiCu", miCuEntries()},
        {4,
         "MiCuAmount",
         {{PEVENT_CARDSWIPE, handleCardswipe, 5},
          {PEVENT_CARDNAME, handlecardname, 5},
          {PEVENT_ABORT, handleAbort, 4},
          {PEVENT_RECEIPT_FINAL, handleReceipt, 4},
          {PEVENT_RECEIPT, handleReceipt, 4},
          {PEVENT_ADVICE_FLAG, handleAdviceFlag, 4},
          {PEVENT_TIMEOUT, handleTimeout, 1},
          {PEVENT_TRANS_COMPLETED, handleTransComplete, 1},
          {PEVENT_STATUS, handleStatusState, 4}}},
        {5,
         "MiCuAmountCardswipe",
         {{PEVENT_STATUS, handleStatusState, 5},
          {PEVENT_ABORT, handleAbort, 5},
          {PEVENT_RECEIPT_FINAL, handleReceipt, 5},
          {PEVENT_RECEIPT, handleReceipt, 5},
          {PEVENT_CARDNAME, handlecardname, 5},
          {PEVENT_OKPOS, handleOkPos, 5},
          {PEVENT_ADVICE_FLAG, handleAdviceFlag, 5},
          {PEVENT_TIMEOUT, handleTimeout, 1},
          {PEVENT_TRANS_COMPLETED, handleTransComplete, 1},
          {PEVENT_VERSIG_ASK, handleVerSigAsk, 5},
          {PEVENT_VERSIG_ANSWER, handleVerSigAns, 5},
          {PEVENT_CONFIRM, handleConfirm, 5}}},
        {6,
         "Cardswipe",
         {{PEVENT_STATUS, handleStatusState, 6},
          {PEVENT_MI, handleDefault, 7},
          {PEVENT_ABORT, handleAbort, 6},
          {PEVENT_RECEIPT_FINAL, handleReceipt, 6},
          {PEVENT_RECEIPT, handleReceipt, 6},
          {PEVENT_CARDNAME, handlecardname, 6},
          {PEVENT_ADVICE_FLAG, handleAdviceFlag, 6},
          {PEVENT_TIMEOUT, handleTimeout, 1},
          {PEVENT_TRANS_COMPLETED, handleTransComplete, 1}}},
        {7,
         "MiCardswipe",
         {{PEVENT_CURRENCYCODE, handleCurrenycode, 8},
          {PEVENT_CARDNAME, handlecardname, 7},
          {PEVENT_ADVICE_FLAG, handleAdviceFlag, 7},
          {PEVENT_TIMEOUT, handleTimeout, 1},
          {PEVENT_TRANS_COMPLETED, handleTransComplete, 1},
          {PEVENT_STATUS, handleStatusState, 7}}},
        // As built with a blank display (the time-out entry is checked separately below).
        {8,
         "MiCuCardswipe",
         {{PEVENT_ABORT, handleAbort, 8},
          {PEVENT_AMOUNT, handleDefault, 5},
          {PEVENT_RECEIPT_FINAL, handleReceipt, 8},
          {PEVENT_RECEIPT, handleReceipt, 8},
          {PEVENT_CARDNAME, handlecardname, 8},
          {PEVENT_ADVICE_FLAG, handleAdviceFlag, 8},
          {PEVENT_TIMEOUT, handleTimeout, 1},
          {PEVENT_CONFIRM_EXTCARD, handleConfirm, 8},
          {PEVENT_TRANS_COMPLETED, handleTransComplete, 1},
          {PEVENT_STATUS, handleStatusState, 8},
          {PEVENT_VERSIG_ASK, handleVerSigAsk, 8},
          {PEVENT_VERSIG_ANSWER, handleVerSigAns, 8},
          {PEVENT_CONFIRM, handleConfirm, 8}}},
        {9,
         "TermNotReady",
         {{PEVENT_RESEND, handleResend, 3},
          {PEVENT_MI, handleMI, 2},
          {PEVENT_CONFIRM_EXTCARD, handleConfirmExtCard, 1},
          {PEVENT_REFUND, handleRefund, 1}}},
    };
    return table;
}

class TransitionTableTest : public EngineTest, public ::testing::WithParamInterface<StateTable> {};

TEST_P(TransitionTableTest, EveryEntryMatchesAndEveryUnsetPairIsIgnored) {
    const StateTable& expected = GetParam();
    setupStateMachine();
    EXPECT_EQ(SA_getState(), PSTATE_IDLE);
    const SA_EVENT_ARRAY* array = SA_getEventArray(expected.state);
    ASSERT_NE(array, nullptr);

    std::array<const Entry*, SA_NUM_EVENTS> byEvent{};
    for (const Entry& e : expected.entries) {
        ASSERT_EQ(byEvent[static_cast<std::size_t>(e.event)], nullptr) << "duplicate " << e.event;
        byEvent[static_cast<std::size_t>(e.event)] = &e;
    }
    const std::string out = captureStdout([&] {
        for (int n = 0; n < SA_NUM_EVENTS; ++n) {
            SCOPED_TRACE(n);
            const SA_ENTRY& actual = (*array)[static_cast<std::size_t>(n)];
            if (const Entry* e = byEvent[static_cast<std::size_t>(n)]) {
                EXPECT_EQ(actual.handler, e->handler);
                EXPECT_EQ(actual.next_state, e->next);
                continue;
            }
            EXPECT_EQ(actual.handler, nullptr);
            EXPECT_EQ(actual.next_state, PSTATE_UNSET);
            SA_setStateForTest(expected.state);
            SA_EVENT event{n, 0};
            EXPECT_EQ(SA_handleEvent(&event), nullptr);
            EXPECT_EQ(SA_getState(), expected.state);
        }
    });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(ecr.displays.empty());
    EXPECT_TRUE(terminal.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(States, TransitionTableTest, ::testing::ValuesIn(expectedTable()),
                         caseName<StateTable>);

// State 8's time-out entry is rebuilt from the display and the abort count, in place.
TEST_F(EngineTest, StateEightTimeoutEntryFollowsTheDisplayAndTheAbortCount) {
    struct Case {
        const char* line1;
        const char* line2;
        int abortCounter;
        bool abortEntry;
    };
    const Case cases[] = {
        {"", "", 0, false},
        {"BEKREFT BEL\xD8P", "", 2, true},
        {"BEKREFT BEL\xD8P", "", 3, false},
        {"BEKREFT", "", -1, false}, // a negative count is a huge unsigned one
        {"VENTER", "", 7, true},
        {"", "RESERVE", 5, true},
    };
    SA_setStateForTest(PSTATE_MI_CU_CARDSWIPE);
    const SA_EVENT_ARRAY* array = SA_getEventArray(PSTATE_MI_CU_CARDSWIPE);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.line1 << "|" << c.line2 << "|" << c.abortCounter);
        put(ctx.statusLine1, c.line1);
        put(ctx.statusLine2, c.line2);
        ctx.abortCounter = c.abortCounter;
        addEventArray(PSTATE_MI_CU_CARDSWIPE, initMiCucardswipe());
        EXPECT_EQ(SA_getEventArray(PSTATE_MI_CU_CARDSWIPE), array); // same storage
        const SA_ENTRY& entry = (*array)[PEVENT_TIMEOUT];
        EXPECT_EQ(entry.handler, c.abortEntry ? handleAbort : handleTimeout);
        EXPECT_EQ(entry.next_state, c.abortEntry ? PSTATE_MI_CU_CARDSWIPE : PSTATE_OPEN);
    }
    EXPECT_EQ(SA_getState(), PSTATE_MI_CU_CARDSWIPE);
}

} // namespace
} // namespace tarq::test
