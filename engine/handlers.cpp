#include "engine/handlers.h"

#include "core/callbacks.h"
#include "core/console.h"
#include "core/context.h"
#include "engine/mainloop.h"
#include "engine/requests.h"
#include "link/clock.h"
#include "protocol/tags.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <new>

namespace tarq {
namespace {

// Display texts: 20 bytes each, Windows-1252.
constexpr char kTimeout[] = " TIMEOUT            ";
constexpr char kCheckLastReceipt[] = "Sjekk siste kvitt.  ";
constexpr char kAbortedTimeout[] = "AVBRUTT PGA TIMEOUT ";
constexpr char kNoConnection[] = "INGEN FORBINDELSE T.";
constexpr char kTryingToAbort[] = "FORS\xD8KER \xC5 AVBRYTE  ";
constexpr char kAbortedByEcr[] = "AVBRUTT AV ECR      ";
constexpr char kWait[] = "VENT                ";
constexpr char kNoReceiptTakeCopy[] = "INGEN KVITT. TA KOPI";
constexpr char kReconciliation[] = "AVSTEMNING          ";

static_assert(sizeof kTimeout == 21 && sizeof kCheckLastReceipt == 21 &&
                  sizeof kAbortedTimeout == 21 && sizeof kNoConnection == 21 &&
                  sizeof kTryingToAbort == 21 && sizeof kAbortedByEcr == 21 && sizeof kWait == 21 &&
                  sizeof kNoReceiptTakeCopy == 21 && sizeof kReconciliation == 21,
              "display texts are exactly 20 characters");

// Every handler's answer record is made here: `fill` runs while the record is held, so that a
// callback that throws does not leak it. nullptr when out of memory; `fill` then does not run.
template <typename Fill> SA_ANSWER* newAnswer(std::uint32_t answerId, Fill&& fill) {
    std::unique_ptr<SA_ANSWER> answer(new (std::nothrow) SA_ANSWER);
    if (!answer) return nullptr;
    answer->answer_ID = answerId;
    answer->state = SA_getState();
    answer->flag = 1;
    fill(*answer);
    return answer.release();
}
SA_ANSWER* newAnswer(std::uint32_t answerId) {
    return newAnswer(answerId, [](SA_ANSWER&) {});
}

void show() {
    invokeDisplayStatus();
}

} // namespace

SA_ANSWER* handleOpen(SA_EVENT*) {
    return newAnswer(PANSWER_OPEN);
}
SA_ANSWER* handleClose(SA_EVENT*) {
    return newAnswer(PANSWER_CLOSE);
}
SA_ANSWER* handleMI(SA_EVENT*) {
    return newAnswer(PANSWER_MI);
}
SA_ANSWER* handleCurrenycode(SA_EVENT*) {
    return newAnswer(PANSWER_CURRENCYCODE);
}
SA_ANSWER* handleAdmin(SA_EVENT*) {
    return newAnswer(PANSWER_ADMIN);
}

SA_ANSWER* handleAmount(SA_EVENT*) {
    say("trstate - handleAmount\n");
    return newAnswer(PANSWER_NORTRANS);
}

SA_ANSWER* handleRefund(SA_EVENT*) {
    say("trstate - handleRefund\n");
    return newAnswer(PANSWER_REFUND);
}

SA_ANSWER* handleConfirmExtCard(SA_EVENT*) {
    say("trstate - handleConfirmExtCard\n");
    return newAnswer(PANSWER_CONFIRMEEXTCARD);
}

SA_ANSWER* handleOkPos(SA_EVENT*) {
    say("trstate - handleOkPos\n");
    return newAnswer(PANSWER_OKPOS);
}

SA_ANSWER* handleVerSigAns(SA_EVENT*) {
    say("trstate - handleVerSigAns\n");
    return newAnswer(PANSWER_VERSIG);
}

SA_ANSWER* handleDefault(SA_EVENT*) {
    say("trstate - handleDefault\n");
    return newAnswer(PANSWER_NONE);
}

SA_ANSWER* handleStatusState(SA_EVENT*) {
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) {
        show(); // the parser has just stored the terminal's text
    });
}

SA_ANSWER* handleAdviceFlag(SA_EVENT*) {
    say("trstate - handleAdviceFlag\n");
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) { invokeAdviceFlag(); });
}

// The call ends here; the next one starts with both display lines cleared.
SA_ANSWER* handleIdle(SA_EVENT*) {
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) { ctx.disconnectToTerminal = 1; });
}

SA_ANSWER* handleVerSigAsk(SA_EVENT*) {
    say("trstate - handleVerSigAsk\n");
    // Even without an answer record the signature step must run, and the cash register may no
    // longer abort.
    ctx.callAbortFunc = 0;
    ctx.verSigPending = 1;
    return newAnswer(PANSWER_NONE);
}

SA_ANSWER* handleNoReceipt(SA_EVENT*) {
    say("trstate - handleNoReceipt\n\n");
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) {
        setLine(ctx.statusLine1, BLANK_LINE);
        setLine(ctx.statusLine2, kNoReceiptTakeCopy);
        show();
        ctx.disconnectToTerminal = 1;
    });
}

SA_ANSWER* handleNoLog(SA_EVENT*) {
    say("trstate - handleNoLog\n\n");
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) {
        setLine(ctx.statusLine1, NO_RECEIPT_LINE);
        setLine(ctx.statusLine2, kReconciliation);
        show();
        ctx.disconnectToTerminal = 1;
    });
}

SA_ANSWER* handleReceipt(SA_EVENT*) {
    return newAnswer(PANSWER_RECEIPTNUMBER, [](SA_ANSWER&) {
        // The count wraps at 8 bits; the answer built afterwards carries the count after this one.
        if (invokePrintReceipt() == 1) ++ctx.gstPosReceiptInfo.receipts;
    });
}

SA_ANSWER* handleCardswipe(SA_EVENT*) {
    return newAnswer(PANSWER_NORTRANS, [](SA_ANSWER& answer) {
        // The length comes from the terminal: never past the 19 card bytes.
        const std::int32_t n =
            std::clamp<std::int32_t>(ctx.track2Length, 0, static_cast<std::int32_t>(CARD_DATA_LEN));
        std::array<char, CARD_TEXT_SIZE> text{};
        // The digits do not outlive the handler, even when the callback throws.
        struct Wipe {
            std::array<char, CARD_TEXT_SIZE>& digits;
            ~Wipe() { secureZero(digits); }
        } wipe{text};
        trqTransformCarddata(text.data(), text.size(), ctx.cardData.data(), n);
        if (invokeSetCarddata(text.data()) != 1) answer.answer_ID = PANSWER_ABORT;
    });
}

SA_ANSWER* handleConfirm(SA_EVENT*) {
    say("trstate - handleConfirm\n");
    return newAnswer(PANSWER_NONE, [](SA_ANSWER& answer) {
        say("trqExtCardConfirm\n");
        const int verdict = invokeExtCardConfirm();
        if (verdict == 1 || verdict == 2) {
            ctx.extCardAnswer = verdict;
            answer.answer_ID = PANSWER_OKPOS;
        }
    });
}

SA_ANSWER* handleAbort(SA_EVENT*) {
    return newAnswer(PANSWER_ABORT, [](SA_ANSWER&) {
        ctx.callAbortFunc = 0;
        setLine(ctx.statusLine1, kTryingToAbort);
        show();
        // Shown by the next display call, when the terminal answers.
        setLine(ctx.statusLine1, BLANK_LINE);
        setLine(ctx.statusLine2, kAbortedByEcr);
    });
}

SA_ANSWER* handleTransComplete(SA_EVENT*) {
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) {
        ctx.disconnectToTerminal = 1;
        const auto result = static_cast<std::uint32_t>(ctx.gstResultData);
        if (result == 0 || result >= 23) setLine(ctx.statusLine1, BLANK_LINE);
        show(); // the last display of the call
    });
}

SA_ANSWER* handleTermNotReady(SA_EVENT*) {
    say("trstate - handleTermNotReady\n\n");
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) {
        say("trstate - handleTermNotReady %d\n", ctx.gstResultData);
        const std::int64_t now = nowSeconds();
        ctx.ecrRequestsAnswer = 0;
        ctx.lastSendTime = now;
        ctx.timeStampTermNotReady = now;
        setLine(ctx.statusLine1, kWait);
        setLine(ctx.statusLine2, BLANK_LINE);
        show();
    });
}

SA_ANSWER* handleResend(SA_EVENT*) {
    say("trstate - handleResend\n\n");
    return newAnswer(PANSWER_NONE, [](SA_ANSWER&) {
        ++ctx.resendCount;
        sendCardTransaction();
    });
}

SA_ANSWER* handleNoConnection(SA_EVENT*) {
    say("trstate - handleNoConnection %d %d\n\n", static_cast<int>(TIMEOUT_ANSWERREQ),
        static_cast<int>(TIMEOUT_TERMINALANSWER));
    return newAnswer(PANSWER_NONE, [](SA_ANSWER& answer) {
        say("trstate - handleNoConnection ret=6 (%d)\n", ctx.gstResultData);
        ctx.gstResultData = 6;
        setLine(ctx.statusLine1, BLANK_LINE);
        setLine(ctx.statusLine2, kNoConnection);
        show();
        ctx.disconnectToTerminal = 1;
        say("trstate - handleNoConnection %d %d\n\n", static_cast<int>(answer.answer_ID),
            ctx.gstResultData);
    });
}

SA_ANSWER* handleTimeout(SA_EVENT*) {
    say("trstate - handleTimeout:%d\n\n", static_cast<int>(TIMEOUT_TERMINALANSWER));
    return newAnswer(PANSWER_NONE, [](SA_ANSWER& answer) {
        const bool prompt = isAbortablePrompt();
        // Past two aborts the terminal is not asked again; the exchange ends all the same.
        if (prompt && static_cast<std::uint32_t>(ctx.abortCounter) <= 2)
            answer.answer_ID = PANSWER_ABORT;
        ctx.gstResultData = 2;
        if (ctx.requestKind == RequestKind::payment) {
            if (prompt)
                say("aborted due to no terminal activity\n");
            else
                setLine(ctx.statusLine1, kCheckLastReceipt);
        } else {
            setLine(ctx.statusLine1, BLANK_LINE);
        }
        setLine(ctx.statusLine2, answer.answer_ID == PANSWER_ABORT ? kAbortedTimeout : kTimeout);
        show();
        ctx.disconnectToTerminal = 1;
        say("trstate - handleTimeout %d %d\n\n", static_cast<int>(answer.answer_ID),
            ctx.gstResultData);
    });
}

// Its event has no producer here; nothing is sent.
SA_ANSWER* handlecardname(SA_EVENT*) {
    return newAnswer(PANSWER_NONE);
}

} // namespace tarq
