// The engine with a scripted terminal behind the message transport, a settable clock and a
// recording cash register: enough to drive whole dialogues without a serial line.
#pragma once

#include "core/callbacks.h"
#include "core/context.h"
#include "core/sa.h"
#include "engine/mainloop.h"
#include "engine/requests.h"
#include "engine/table.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/cash_register.h"
#include "tests/support/terminal.h"

#include <gtest/gtest.h>

namespace tarq::test {

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDriverContext();
        setupStateMachine();
        SA_setStateForTest(PSTATE_OPEN); // the connection is open
        pip_setLink(&terminal);
        ecr.registerWith(storeCallback);
        initGlobals();
    }
    void TearDown() override {
        pip_setLink(nullptr);
        freeCurrentEcrEvent();
        CashRegister::active = nullptr;
    }

    // What a payment call does around the engine: per-call state, state 8 built afresh, the
    // request recorded, the opening messages.
    void startPayment(int confirmExtCard = 0) {
        ctx.requestKind = 1;
        initGlobals();
        addEventArray(PSTATE_MI_CU_CARDSWIPE, initMiCucardswipe());
        ctx.abortCounter = 0;
        ctx.request.amount = ctx.request.purchaseAmount = 12345;
        ctx.request.currencyCode = 0x0242;
        ctx.request.merchIn = 'M';
        ctx.request.confirmExtCard = confirmExtCard;
        ctx.callAbortFunc = 1;
        sendCardTransaction();
    }
    int runLoop() {
        callMainLoop();
        ctx.callAbortFunc = 0;
        return ctx.gstResultData;
    }
    // An administrative command in PSTATE_OPEN.
    void startAdmin(int code) {
        ctx.requestKind = 2;
        initGlobals();
        ctx.abortCounter = 0;
        ctx.adminCode = code;
        postEvent(PEVENT_ADMIN);
    }

    ManualClock clock;
    ScopedClock scoped{clock};
    ScriptedTerminal terminal{clock};
    CashRegister ecr;
};

template <class T> std::string caseName(const ::testing::TestParamInfo<T>& info) {
    return info.param.name;
}

} // namespace tarq::test
