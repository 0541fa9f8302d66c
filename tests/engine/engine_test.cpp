// The engine over a scripted terminal, a settable clock, a recording till: a table of whole calls
// (what each side says, element tags out); then what only the exported operations show.
#include "core/callbacks.h"
#include "core/context.h"
#include "core/sa.h"
#include "engine/exchange.h"
#include "engine/mainloop.h"
#include "engine/table.h"
#include "link/wiretap.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/cash_register.h"
#include "tests/support/terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

namespace tarq::test {
namespace {

struct Rig {
    Rig() {
        resetDriverContext();
        pip_setLink(&terminal);
    }
    ~Rig() {
        pip_setLink(nullptr);
        freeCurrentEcrEvent();
        CashRegister::active = nullptr;
    }
    ManualClock clock;
    ScopedClock scoped{clock};
    ScriptedTerminal terminal{clock};
    CashRegister ecr;
};

// clang-format off
// The call begins: from PSTATE_OPEN, or in `state` showing `line1` (left by an earlier exchange).
struct Start { RequestKind kind = RequestKind::payment; int state = -1; const char* line1 = "";
    int confirmExtCard = 0; };
constexpr Start pay{}, payExt{.confirmExtCard = 1}, admin{RequestKind::admin};
constexpr Start at(int state, const char* line1 = "", RequestKind kind = RequestKind::payment) {
    return {kind, state, line1}; }
// Messages queued when the driver sends an element with `tag`; tag 0: waiting at the start.
struct Reply { std::uint8_t tag; std::vector<Bytes> msgs; bool always = false; };
// The cash register: abortAt is the abort question answered yes (from 1), abortKeeps: and later.
struct Till { int card = 1, ext = 1, print = 1, sig = 1, abortAt = 0; bool abortKeeps = false; };
struct Calls { int cards = 0, receipts = 0, ext = 0, verSig = 0, advice = 0, aborts = -1; };
using Shown = std::pair<const char*, const char*>; // last display; nullptr: not checked
struct More {
    Shown shown{nullptr, nullptr}; Calls calls{};
    int endS = -1; // whole seconds from the start of the call to its end
    std::pair<std::size_t, int> silence{0, 0}; // delivery number, seconds of silence before it
    Till till{};
    const char* after = nullptr; // a row whose call runs first on the same driver
    Shown seen{nullptr, nullptr}; }; // a display on the way
struct Row { const char* name; Start start; std::vector<Reply> replies; Tags sent; int result;
    More more{}; }; // the fields after `result` are given by name

constexpr std::uint8_t MI = PTAG_MI, CU = PTAG_CURRENCYCODE, NT = PTAG_NORTRANS,
    RN = PTAG_RECEIPTNUMBER, AB = PTAG_TERM_ABORT, AD = PTAG_ADMIN, XC = PTAG_CONFIRMEEXTCARD;
constexpr char kTimedOut[] = " TIMEOUT            ", kNoReceipt[] = "INGEN KVITT. TA KOPI",
    kNoConn[] = "INGEN FORBINDELSE T.", kAborted[] = "AVBRUTT PGA TIMEOUT ";
constexpr Shown late{"Sjekk siste kvitt.  ", kTimedOut},
    noLog{"INGEN KVITTERING    ", "AVSTEMNING          "};

std::vector<Row> rows() {
    const auto el = [](std::uint8_t t, const Bytes& v = {}) { return message({element(t, v)}); };
    const auto done = [](std::uint8_t result) { return completed(result, 0); };
    const Bytes card = cardMessage(), adv = el(PTAG_ADVICE_FLAG), sig = el(PTAG_VER_SIG),
        confirm = el(PTAG_CONFIRM), termAbort = el(PTAG_TERM_ABORT), closing = el(PTAG_TERM_CLOSE),
        noEvent = el(PTAG_ISSUERID, {1}), insert = status1("SETT INN KORT"),
        prompt = status1("BEKREFT BEL\xD8P"), receipt = message({element(PTAG_LAST_RECEIPT),
                                                  element(PTAG_TERM_RECEIPT, text("KVITTERING"))});
    const char* const blank = kBlank.c_str();
    std::vector<Row> t = {
        {"CardApprovedReceiptPrinted", pay,
         {{CU, {insert, card}}, {NT, {receipt}}, {RN, {completed(0, 3)}}}, {MI, CU, NT, RN}, 0,
         {.shown = {blank, nullptr}, .calls = {.cards = 1, .receipts = 1}, .endS = 0}},
        {"ReceiptRefusedByTheTillNotCounted", pay, {{CU, {card}}, {NT, {receipt}}, {RN, {done(9)}}},
         {MI, CU, NT, RN}, 9, {.calls = {.cards = 1, .receipts = 1}, .till = {.print = 0}}},
        {"ReceiptWithoutPrintCallbackNotCounted", pay, {{CU, {card}}, {NT, {receipt}},
         {RN, {done(9)}}}, {MI, CU, NT, RN}, 9, {.calls = {.cards = 1}, .till = {.print = -1}}},
        // Line 1 is blanked for results 0 and 23 on; it stays for the others.
        {"Result23BlanksLine1", pay, {{CU, {insert, card}}, {NT, {done(23)}}}, {MI, CU, NT}, 23,
         {.shown = {blank, nullptr}, .calls = {.cards = 1}}},
        {"Result23BeforeTheCardIsNotThisOne", pay, {{CU, {done(23)}}}, {MI, CU}, 1},
        {"Result22KeepsLine1", pay, {{CU, {insert, card}}, {NT, {done(22)}}}, {MI, CU, NT}, 22,
         {.shown = {"SETT INN KORT       ", nullptr}, .calls = {.cards = 1}}},
        {"DisplayOfTheCallBeforeCleared", pay, {{CU, {card}}, {NT, {done(22)}}}, {MI, CU, NT}, 22,
         {.shown = {"", ""}, .calls = {.cards = 1}, .after = "Result22KeepsLine1"}},
        {"ExternalCardThenNotReadyTwiceResendAfterSixSeconds", payExt,
         {{CU, {done(5), done(5)}}, {CU, {done(9)}}}, {XC, MI, CU, XC, MI, CU}, 9, {.endS = 7}},
        {"RefusedCardAborted", pay, {{CU, {card}}, {AB, {termAbort, done(7)}}}, {MI, CU, AB}, 7,
         {.calls = {.cards = 1}, .till = {.card = 0}}},
        {"AbortFromTillInMiCu", pay, {{CU, {insert}}, {AB, {termAbort, done(1)}}}, {MI, CU, AB}, 1,
         {.shown = {nullptr, "AVBRUTT AV ECR      "}, .calls = {.aborts = 3},
          .till = {.abortAt = 3, .abortKeeps = true}}},
        {"AbortWhileNotReadyWaitsForResend", pay, {{CU, {done(5)}}, {AB, {done(1)}}},
         {MI, CU, MI, CU, AB}, 1,
         {.calls = {.aborts = 1}, .till = {.abortAt = 1, .abortKeeps = true}}},
        {"WaitingAbortDroppedWhenTerminalWorks", pay,
         {{CU, {done(5)}}, {CU, {status1("ARBEJDER"), done(9)}}}, {MI, CU, MI, CU}, 9,
         {.calls = {.aborts = 1}, .endS = 7, .till = {.abortAt = 1}}},
        {"FourthNotReadyEnds", pay, {{CU, {status1("TERMINAL OPPTATT"), done(5)}, true}},
         {MI, CU, MI, CU, MI, CU, MI, CU}, 5,
         {.shown = {"TERMINAL OPPTATT    ", blank}, .endS = 21}},
        {"MessageAfter95sSilenceIsInTime", pay, {{CU, {insert, done(9)}}}, {MI, CU}, 9,
         {.endS = 95, .silence = {1, 95}}},
        {"SilenceOf95sAfterAResendIsInTime", pay, {{CU, {done(5)}}, {CU, {insert, done(9)}}},
         {MI, CU, MI, CU}, 9, {.silence = {2, 95}}},
        {"SilenceOf96sTimesOut", pay, {{CU, {insert, done(9)}}}, {MI, CU}, 2,
         {.shown = late, .endS = 96, .silence = {1, 96}}},
        {"AnswerAfter10sIsInTime", pay, {{CU, {insert, done(9)}}}, {MI, CU}, 9,
         {.endS = 10, .silence = {0, 10}}},
        {"NoAnswerFor11sNoConnection", pay, {{CU, {insert, done(9)}}}, {MI, CU}, 6,
         {.shown = {blank, kNoConn}, .endS = 11, .silence = {0, 11}}},
        {"SilentPromptAbortsOnceThenTimesOut", pay, {{CU, {prompt}}, {AB, {}}}, {MI, CU, AB}, 2,
         {.shown = late, .endS = 96, .seen = {"FORS\xD8KER \xC5 AVBRYTE  ", kAborted}}},
        {"SilentPromptAfterCardAbortsThreeTimes", pay, {{CU, {card}}, {NT, {prompt}}},
         {MI, CU, NT, AB, AB, AB}, 2, {.shown = late, .calls = {.cards = 1}}},
        {"PromptBackAfterEachAbortThreeAbortsOnly", pay, {{CU, {card, status1("VENTER")}},
         {AB, {status1("VENTER")}, true}}, {MI, CU, NT, AB, AB, AB}, 2, {.calls = {.cards = 1}}},
        {"NotReadyAfterThreeAbortsStillResends", pay, {{CU, {status1("VENTER")}},
         {AB, {status1("VENTER")}}, {AB, {status1("VENTER")}}, {AB, {done(5)}}, {CU, {done(9)}}},
         {MI, CU, AB, AB, AB, MI, CU}, 9},
        {"TillAbortsAsTheTimeOutFalls", pay, {{CU, {insert}}, {AB, {done(1)}}}, {MI, CU, AB}, 1,
         {.calls = {.aborts = 161}, .till = {.abortAt = 161}}}, // the 161st question: at 95 s
        {"SilentAfterCard", pay, {{CU, {card}}}, {MI, CU, NT}, 2,
         {.shown = late, .calls = {.cards = 1}, .endS = 96}},
        // After calls that aborted or resent on time-outs: counts and the card time-out restart.
        {"FourthNotReadyEndsAgain", pay, {}, {MI, CU, MI, CU, MI, CU, MI, CU}, 5,
         {.after = "FourthNotReadyEnds"}},
        {"PromptAbortsThreeTimesAgain", pay, {{CU, {card}}, {NT, {prompt}}},
         {MI, CU, NT, AB, AB, AB}, 2, {.shown = late, .calls = {.cards = 1},
          .after = "SilentPromptAfterCardAbortsThreeTimes"}},
        {"SilentAfterCardAfterAnAbort", pay, {{CU, {card}}}, {MI, CU, NT}, 2, {.shown = late,
         .calls = {.cards = 1}, .after = "SilentPromptAbortsOnceThenTimesOut"}},
        {"SignatureAfterCard", pay, {{CU, {card}}, {NT, {sig}}, {PTAG_VER_SIG_OK, {done(0)}}},
         {MI, CU, NT, PTAG_VER_SIG_OK}, 0,
         {.calls = {.cards = 1, .verSig = 1, .aborts = 1}, .silence = {2, 1}}},
        {"SignatureRefusedByTheTill", pay, {{CU, {card}}, {NT, {sig}}, {PTAG_VER_SIG, {done(0)}}},
         {MI, CU, NT, PTAG_VER_SIG}, 0,
         {.calls = {.cards = 1, .verSig = 1, .aborts = 1}, .till = {.sig = 0}}},
        {"NotReadyThenSilentNoConnection", pay, {{CU, {done(5)}}}, {MI, CU, MI, CU}, 6,
         {.shown = {blank, kNoConn}, .endS = 18}},
        {"ExternalCardRefusedAfterCard", pay,
         {{CU, {card}}, {NT, {status1("KORT?"), adv, confirm}}, {PTAG_EXTPOSNOTOK, {done(1)}}},
         {MI, CU, NT, PTAG_EXTPOSNOTOK}, 1,
         {.calls = {.cards = 1, .ext = 1, .advice = 1}, .till = {.ext = 2}}},
        {"ExternalCardWithoutCallbackNotConfirmed", pay, {{CU, {card}}, {NT, {confirm, done(9)}}},
         {MI, CU, NT}, 9, {.calls = {.cards = 1}, .till = {.ext = -1}}},
        {"AdviceThenCardAndReceipt", pay, {{CU, {adv, card}}, {NT, {receipt}}, {RN, {done(0)}}},
         {MI, CU, NT, RN}, 0, {.calls = {.cards = 1, .receipts = 1, .advice = 1}}},
        {"SignatureAfterAmountAndCard", pay, {{CU, {adv, card}},
         {NT, {status1("SIGNER"), adv, confirm, sig}}, {PTAG_VER_SIG_OK, {done(0)}}},
         {MI, CU, NT, PTAG_EXTPOSOK, PTAG_VER_SIG_OK}, 0,
         {.calls = {.cards = 1, .ext = 1, .verSig = 1, .advice = 2}}},
        {"SignatureWithoutCallbackRefused", pay, {{CU, {card}}, {NT, {sig}},
         {PTAG_VER_SIG, {done(0)}}}, {MI, CU, NT, PTAG_VER_SIG}, 0,
         {.calls = {.cards = 1}, .till = {.sig = -1}}},
        {"UnexpectedElementsBeforeCardThenNoLog", pay,
         {{CU, {noEvent, confirm, receipt, sig, done(4)}}}, {MI, CU, RN}, 4,
         {.shown = noLog, .calls = {.receipts = 1}}},
        {"AmountStateTakesStatusAndReceipt", pay,
         {{CU, {adv, adv, status1("BELOP"), receipt, done(9)}}}, {MI, CU, RN}, 9,
         {.calls = {.receipts = 1, .advice = 2}}},
        {"AbortFromTillAfterAmount", pay, {{CU, {adv}}, {AB, {done(1)}}}, {MI, CU, AB}, 1,
         {.calls = {.advice = 1}, .till = {.abortAt = 1}}},
        {"SilentAfterAmount", pay, {{CU, {adv}}}, {MI, CU}, 2,
         {.shown = late, .calls = {.advice = 1}, .endS = 96}},
        // An administrative command runs in PSTATE_OPEN and ends at the idle message.
        {"AdminReceiptAfterCompletionEndsAtIdle", admin,
         {{AD, {adv, done(0), receipt, el(PTAG_TERM_IDLE, {0})}}}, {AD, RN}, 0,
         {.calls = {.receipts = 1, .advice = 1}}},
        {"AdminSilentTimesOut", admin, {{AD, {status1("RAPPORT")}}}, {AD}, 2,
         {.shown = {blank, kTimedOut}, .calls = {.aborts = 0}, .endS = 96, .till = {.abortAt = 1}}},
        {"AdminSilentPromptAbortsAndTimesOut", admin, {{AD, {status1("VENTER P\xC5 HOST")}}},
         {AD, AB}, 2, {.shown = {blank, kAborted}, .endS = 96}},
        {"AdminNoAnswerNoConnection", admin, {}, {AD}, 6, {.shown = {blank, kNoConn}, .endS = 11}},
        {"AdminCardBeforeAnyMi", admin, {{AD, {card, status1("KORT"), adv, receipt, done(9)}}},
         {AD, NT, RN}, 9, {.calls = {.cards = 1, .receipts = 1, .advice = 1}}},
        {"TerminalOpensAndClosesWhileIdle", at(PSTATE_IDLE, "", RequestKind::admin),
         {{0, {el(PTAG_TERM_OPEN), closing, closing}}},
         {PTAG_TERM_OPEN, PTAG_TERM_CLOSE, PTAG_TERM_CLOSE}, 2,
         {.shown = {blank, kTimedOut}, .endS = 96}},
        {"MiStateTakesStatusAndCompletion", at(PSTATE_MI), {{0, {insert, done(9)}}}, {}, 9},
        {"MiStateTakesTheTillsAbort", at(PSTATE_MI), {{AB, {done(1)}}}, {AB}, 1,
         {.till = {.abortAt = 1}}},
        {"MiStateAdviceThenNoReceipt", at(PSTATE_MI), {{0, {adv, done(3)}}}, {}, 3,
         {.shown = {blank, kNoReceipt}, .calls = {.advice = 1}}},
        {"MiStateCardThenNoLog", at(PSTATE_MI), {{0, {card, status1("KORT"), adv, done(4)}}}, {NT},
         4, {.shown = noLog, .calls = {.cards = 1, .advice = 1}}},
    };
    // Loop entered in a state: each ending event of the terminal (in PSTATE_OPEN a payment's
    // ending shows no texts of its own), silence, the till's abort, and a silent prompt where no
    // abort can go (the time-out still ends the call).
    const std::pair<std::uint8_t, Shown> endings[] = {{3, {blank, kNoReceipt}}, {4, noLog},
                                                      {5, {blank, blank}}, {9, {blank, blank}}};
    for (int s = PSTATE_IDLE; s <= PSTATE_TERM_NOT_READY; ++s) {
        for (const auto& [r, shown] : endings)
            if (s == PSTATE_OPEN || (s >= PSTATE_MI_CU_AMOUNT && s <= PSTATE_MI_CU_CARDSWIPE))
                t.push_back({"Ending", at(s), {{0, {done(r)}}}, {}, r,
                             {.shown = s == PSTATE_OPEN ? Shown{blank, blank} : shown}});
        if (s != PSTATE_IDLE && s != PSTATE_MI_CU && s != PSTATE_MI_CU_AMOUNT)
            t.push_back({"Silent", at(s), {}, {}, 2, {.shown = late, .endS = 96}});
        if (s == PSTATE_MI_CU_AMOUNT_CARDSWIPE || s == PSTATE_CARDSWIPE)
            t.push_back(
                {"TillAborts", at(s), {{AB, {done(1)}}}, {AB}, 1, {.till = {.abortAt = 1}}});
        if (s <= PSTATE_OPEN || s == PSTATE_MI_CARDSWIPE || s == PSTATE_TERM_NOT_READY)
            t.push_back({"SilentPrompt", at(s, "VENTER"), {}, {AB}, 2,
                         {.shown = {nullptr, kAborted}, .endS = 96}});
    }
    return t;
}
// clang-format on

std::set<std::pair<int, int>> hit; // the (state, event) pairs the automaton ran

// One call through the engine, as the exported operations run it.
class Bench : Rig {
  public:
    Bench() {
        setupStateMachine();
        SA_setStateForTest(PSTATE_OPEN);
        ecr.registerWith(storeCallback);
        // Every dispatch that ran a handler reports its (state before, event) on the tap.
        tapSink = [](TapEvent e, const std::uint8_t* b, std::uint32_t, int) {
            if (e == TapEvent::State) hit.insert({b[0], b[1]});
        };
    }
    ~Bench() { tapSink = nullptr; }
    void run(const Row& r) {
        if (r.more.after) {
            for (const Row& first : rows())
                if (std::string(first.name) == r.more.after) run(first);
            terminal.sent.clear();
            ecr.clearSeen();
        }
        for (const auto& [tag, msgs, always] : r.replies) {
            if (tag == 0)
                terminal.inbox.insert(terminal.inbox.end(), msgs.begin(), msgs.end());
            else if (always)
                terminal.alwaysReplyTo(tag, msgs);
            else
                terminal.replyTo(tag, msgs);
        }
        if (r.more.silence.second)
            terminal.silenceBefore(r.more.silence.first, r.more.silence.second);
        ecr.cardAnswer = r.more.till.card;
        ecr.extCardAnswer = r.more.till.ext;
        ecr.printAnswer = r.more.till.print;
        if (r.more.till.print < 0) ctx.trqPrintReceipt = nullptr; // none registered
        if (r.more.till.ext < 0) ctx.trqExtCardConfirm = nullptr;
        if (r.more.till.sig < 0) ctx.trqVerSigConfirm = nullptr;
        ecr.verSigAnswer = r.more.till.sig;
        ecr.abortAnswer = [t = r.more.till](int call) {
            return t.abortAt && (call == t.abortAt || (t.abortKeeps && call > t.abortAt));
        };
        const std::int64_t start = clock.peek() / 1000; // the clock, not the driver's seconds
        const Start& s = r.start;
        captureStdout([&s] {
            if (s.state < 0 && s.kind == RequestKind::payment)
                runPayment({.amount = 12345,
                            .currencyCode = 0x0242,
                            .confirmExtCard = s.confirmExtCard,
                            .purchaseAmount = 12345});
            else if (s.state < 0)
                runAdminCommand(TRQ_ADMIN_TERM_REPORT);
            if (s.state < 0) return;
            beginCall(s.kind); // the loop entered in a state an earlier exchange left
            SA_setStateForTest(s.state);
            put(ctx.statusLine1, s.line1);
            put(ctx.statusLine2, "");
            runToResult();
        });

        EXPECT_EQ(SA_getState(), PSTATE_OPEN);
        EXPECT_EQ(ctx.gstResultData, r.result);
        EXPECT_EQ(terminal.sentTags(), r.sent);
        // The terminal must have taken the MI before the currency code comes.
        if (r.sent.size() > 1 && r.sent[0] == MI && r.sent[1] == CU) {
            EXPECT_EQ(terminal.sent[1].ms - terminal.sent[0].ms, 200);
        }
        const auto [line1, line2] = ecr.lastDisplay();
        EXPECT_EQ(line1, r.more.shown.first ? r.more.shown.first : line1);
        EXPECT_EQ(line2, r.more.shown.second ? r.more.shown.second : line2);
        if (r.more.seen.first) {
            EXPECT_NE(std::ranges::find(ecr.displays, CashRegister::Lines(r.more.seen)),
                      ecr.displays.end());
        }
        const Calls& c = r.more.calls;
        const int cards = static_cast<int>(ecr.cards.size()),
                  aborts = c.aborts < 0 ? -1 : ecr.abortCalls;
        EXPECT_EQ((std::array{cards, static_cast<int>(ecr.receipts.size()), ecr.extCardCalls,
                              ecr.verSigCalls, ecr.adviceCalls, aborts}),
                  (std::array{c.cards, c.receipts, c.ext, c.verSig, c.advice, c.aborts}));
        // The count the terminal is told: the receipts the till took.
        EXPECT_EQ(ctx.gstPosReceiptInfo.receipts, r.more.till.print > 0 ? c.receipts : 0);
        EXPECT_EQ(r.more.endS < 0 ? r.more.endS : clock.peek() / 1000 - start, r.more.endS);
    }
};

class Dialogue : public ::testing::TestWithParam<Row> {};

TEST_P(Dialogue, Runs) {
    Bench().run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, Dialogue, ::testing::ValuesIn(rows()), [](const auto& row) {
    const Row& r = row.param;
    return std::string(r.name) + (r.start.state >= 0 ? "In" + std::to_string(r.start.state) : "") +
           "_" + std::to_string(row.index);
});

// The rows reach every (state, event) pair, of the terminal or the loop, that the table handles.
TEST(DialogueCoverage, EveryHandledPairIsReached) {
    hit.clear();
    for (const Row& r : rows()) {
        SCOPED_TRACE(r.name);
        Bench().run(r);
    }
    Bench bench; // the table as registered, for a payment
    ctx.requestKind = RequestKind::payment;
    // clang-format off
    const int alphabet[] = {PEVENT_OPEN, PEVENT_CLOSE, PEVENT_CARDSWIPE, PEVENT_RECEIPT,
        PEVENT_CONFIRM, PEVENT_ABORT, PEVENT_STATUS, PEVENT_IDLE, PEVENT_VERSIG_ASK,
        PEVENT_ADVICE_FLAG, PEVENT_VERSIG_ANSWER, PEVENT_EMPTY, PEVENT_TIMEOUT,
        PEVENT_TRANS_COMPLETED, PEVENT_TERM_NOT_READY, PEVENT_RESEND, PEVENT_TIMEOUT_NOCONNECTION,
        PEVENT_NO_RECEIPT, PEVENT_NO_LOG};
    // clang-format on
    int expected = 0;
    for (int s = 0; s < SA_NUM_STATES; ++s) {
        for (const int e : alphabet) {
            const bool entry = (*SA_getEventArray(s))[static_cast<std::size_t>(e)].handler;
            // The signature answer follows the question in the state that took it.
            if (s == PSTATE_MI_CU && e == PEVENT_VERSIG_ANSWER) continue;
            if (!entry && !terminalFallback(s, e) && !timerFallback(s, e)) continue;
            ++expected;
            EXPECT_TRUE(hit.count({s, e})) << "state " << s << " event " << e;
        }
    }
    EXPECT_EQ(expected, 91); // a lost entry leaves its pair unchecked: the count shows it
}

// An entry, array, event or next state outside the automaton, or a missing one, is refused.
TEST(Automaton, OutsideStatesAndEventsAreRefused) {
    static int runs = 0;
    const SA_HANDLER count = [](SA_EVENT*) -> SA_ANSWER* { return ++runs, nullptr; };
    SA_EVENT_ARRAY array{};
    addEvent(&array, PEVENT_OPEN, SA_NUM_STATES, count);
    EXPECT_EQ(array[PEVENT_OPEN].handler, nullptr);
    addEventArray(SA_NUM_STATES, &array);
    EXPECT_EQ(SA_getEventArray(SA_NUM_STATES), nullptr);
    struct {
        SA_EVENT_ARRAY array{};
        SA_ENTRY beyond;
    } guarded; // an id one too far
    guarded.beyond = {1, count};
    addEvent(&guarded.array, SA_NUM_EVENTS, 1, nullptr); // refused, `beyond` left as it is
    EXPECT_EQ(guarded.beyond.handler, count);
    addEventArray(PSTATE_OPEN, &guarded.array);
    SA_EVENT event{SA_NUM_EVENTS};
    SA_setStateForTest(PSTATE_OPEN);
    SA_handleEvent(&event);
    EXPECT_EQ(runs, 0);
    // Event, handler and next state given; whether it ran, the state after.
    const std::tuple<SA_EVENT*, SA_HANDLER, int, int, int> rows[] = {
        {&event, count, 0, 1, 0},
        {&event, nullptr, 1, 0, 0},
        {nullptr, count, 1, 0, 0},
        {&event, count, -1, 0, 0},
        {&event, count, SA_NUM_STATES, 0, 0},
        {&event, count, SA_NUM_STATES - 1, 1, SA_NUM_STATES - 1}};
    for (const auto& [e, handler, next, ran, after] : rows) {
        SA_setStateForTest(0);
        runs = 0;
        SA_handleEventAs(e, handler, next);
        EXPECT_EQ(std::pair(runs, SA_getState()), std::pair(ran, after)) << next;
    }
    setupStateMachine();
}

// From where an open leaves the line: no answer, what an exception leaves, card data after a call.
struct DriverTest : ::testing::Test, Rig {
    DriverTest() {
        ctx.openStatus = TRQ_OPEN_OK;
        ecr.registerWith(trqInitCallback);
    }
    int pay(int type = 1, const char* cardNo = "", const char* exp = "", const char* cvc = "") {
        int result = -1;
        captureStdout([&] {
            result = trqNorTransaction(type, 12345, 578, 'M', 0, 0, "", "", 0, 0, cardNo, exp, cvc);
        });
        return result;
    }
};

TEST_F(DriverTest, RestartReportsSuccessOnlyWhenTheTerminalAcknowledged) {
    // clang-format off
    struct Case { bool link; std::deque<int> sends; int result; };
    const Case cases[] = {{true, {1}, TRQ_RESTART_SENT}, {true, {0}, TRQ_NO_RESULT},
        {true, {-1000, -1000, -1000, -1000}, TRQ_NO_RESULT}, {false, {}, TRQ_NO_RESULT}};
    // clang-format on
    for (const auto& c : cases) {
        for (const bool viaAdmin : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.link << c.sends.size() << viaAdmin);
            terminal.linkPresent = c.link;
            terminal.sendResults = c.sends;
            int result = -1;
            captureStdout([&] { result = viaAdmin ? trqNorAdmin(8, 0, 0) : trqRestartTerm(); });
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(SA_getState(), PSTATE_OPEN);
        }
    }
}

TEST_F(DriverTest, ExceptionFromACallbackEndsTheExchangeAndTheNextCallWorks) {
    static bool throwOnCard = false;
    int (*cardOrThrow)(const char*) = [](const char*) {
        return throwOnCard ? throw std::runtime_error("till failed") : 1;
    };
    trqInitCallback(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(cardOrThrow));
    // Not ready: the till's abort waits for the resend, and the card that comes first throws.
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)});
    terminal.replyTo(PTAG_CURRENCYCODE, {cardMessage()});
    ecr.abortAnswer = [](int call) { return call == 1 ? 1 : 0; };
    throwOnCard = true;
    EXPECT_EQ(pay(), TRQ_NO_RESULT);
    throwOnCard = false;
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);
    EXPECT_EQ(ctx.callAbortFunc + ctx.pendingEcrAbort, 0);
    // The abort question throws while the terminal's answer is awaited.
    ecr.abortAnswer = [](int) -> int { throw std::runtime_error("till failed"); };
    EXPECT_EQ(pay(), TRQ_NO_RESULT);
    EXPECT_EQ(ctx.ecrRequestsAnswer, 0);
    ecr.abortAnswer = CashRegister::never;
    // A display callback that throws while a terminal message is read (its abort shows itself
    // from there): the message's tree is freed too (the sanitizer build shows a leak otherwise).
    void (*displayOrThrow)(const char*, const char*) = [](const char* line1, const char*) {
        if (std::string(line1).rfind("AVBR FRA", 0) == 0) throw std::runtime_error("till failed");
    };
    trqInitCallback(TRQ_CB_DISPLAY_STATUS, reinterpret_cast<void*>(displayOrThrow));
    terminal.replyTo(PTAG_CURRENCYCODE, {message(PTAG_TERM_ABORT, {})});
    EXPECT_EQ(pay(), TRQ_NO_RESULT);
    EXPECT_EQ(SA_getState(), PSTATE_OPEN);

    terminal.sent.clear();
    terminal.replyTo(PTAG_CURRENCYCODE, {cardMessage()});
    terminal.replyTo(PTAG_NORTRANS, {completed(0, 1)});
    EXPECT_EQ(pay(), TRQ_APPROVED);
    EXPECT_EQ(terminal.sentTags(), (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_NORTRANS}));
}

TEST_F(DriverTest, CardDataIsWipedWhenTheCallReturnsAndSurvivesAResend) {
    terminal.replyTo(PTAG_CURRENCYCODE, {completed(5, 0)}); // not ready: sent again after 6 s
    terminal.replyTo(PTAG_CURRENCYCODE, {cardMessage()});
    terminal.replyTo(PTAG_NORTRANS_CARD, {completed(0, 1)});
    EXPECT_EQ(pay(-1, "4711000011112222", "2512", "123"), TRQ_APPROVED);

    ASSERT_EQ(terminal.sentTags(),
              (Tags{PTAG_MI, PTAG_CURRENCYCODE, PTAG_MI, PTAG_CURRENCYCODE, PTAG_NORTRANS_CARD}));
    const Bytes& record = terminal.sent.back().bytes;
    for (const char* part : {"4711000011112222", "2512", "123"}) {
        const Bytes b = text(part);
        EXPECT_NE(std::search(record.begin(), record.end(), b.begin(), b.end()), record.end())
            << part;
    }
    EXPECT_EQ(ecr.cards, std::vector<std::string>{kCardText});
    const auto zero = [](const auto& field) {
        return std::all_of(field.begin(), field.end(), [](auto c) { return c == 0; });
    };
    EXPECT_TRUE(zero(ctx.cardData) && zero(ctx.request.cardNo) && zero(ctx.request.expDate) &&
                zero(ctx.request.cvc));
}

} // namespace
} // namespace tarq::test
