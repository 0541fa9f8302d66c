#include "protocol/parser.h"

#include "core/callbacks.h"
#include "core/console.h"
#include "core/context.h"
#include "link/clock.h"
#include "protocol/tags.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>

namespace tarq {
namespace {

SA_EVENT* current_event = nullptr;

constexpr std::string_view kTerminalBlocked = "TERMINAL BLOKKERT";
constexpr std::string_view kAbortedByTerminal = "AVBR FRA TERMINAL   ";
constexpr std::string_view kTakeCopy = "TA KOPI SISTE TRANS.";

// Status text from the terminal; a value longer than the receipt area is not a status text and
// leaves the line as it was.
void storeStatus(StatusLine& line, std::span<const std::uint8_t> value) {
    if (value.size() > RECEIPT_SIZE) return;
    line.fill(' ');
    std::copy_n(value.begin(), std::min(value.size(), line.size()), line.begin());
}

// Finds `word` in `text` read as a C text: a zero byte ends it early.
bool containsWord(std::span<const char> text, std::string_view word) {
    const auto end = std::find(text.begin(), text.end(), '\0');
    return std::string_view(text.data(), static_cast<std::size_t>(end - text.begin())).find(word) !=
           std::string_view::npos;
}

// Value bytes an element's layout needs before it means anything.
std::size_t minimumLength(std::uint8_t tag) {
    switch (tag) {
    case PTAG_TERM_IDLE:
    case PTAG_TRANS_COMPLETED:
    case PTAG_ISSUERID:
        return 1;
    case PTAG_TRACK2_LENGTH:
        return 2;
    default:
        return 0;
    }
}

bool cardComplete() {
    return ctx.cardReceived != 0 && ctx.track2LengthReceived != 0;
}

void handleTransCompleted(std::span<const std::uint8_t> value) {
    current_event->event_id = PEVENT_TRANS_COMPLETED;
    ctx.gstResultData = value[0];
    // The issuer follows the result only in longer messages (a result alone makes 5 bytes).
    if (value.size() >= 2) ctx.issuerID = value[1];
    say("PTAG_TRANS_COMPLETED = %d, issuerID=%d\n", ctx.gstResultData, ctx.issuerID);
    switch (ctx.gstResultData) {
    case 5:
        current_event->event_id = PEVENT_TERM_NOT_READY;
        break;
    case 3:
        current_event->event_id = PEVENT_NO_RECEIPT;
        break;
    case 4:
        current_event->event_id = PEVENT_NO_LOG;
        break;
    default:
        break;
    }
    // A success reported before this payment's card arrived belongs to an earlier transaction.
    const int r = ctx.gstResultData;
    const bool success = r == 0 || (r >= 23 && r <= 26);
    if (ctx.requestKind == RequestKind::payment && success && !cardComplete()) {
        ctx.gstResultData = 1;
        ctx.issuerID = 0;
    }
}

void handleReceipt(std::span<const std::uint8_t> value) {
    current_event->event_id = PEVENT_RECEIPT;
    ctx.gstReceiptData.fill('\0');
    std::copy_n(value.begin(), std::min(value.size(), RECEIPT_SIZE), ctx.gstReceiptData.begin());
    // A receipt before this payment's card arrived belongs to an earlier transaction.
    if (ctx.requestKind == RequestKind::payment && !cardComplete()) {
        ctx.gstReceiptData.fill('\0');
        setLine(ctx.statusLine1, "");
        setLine(ctx.statusLine2, "");
        setLine(ctx.statusLine1, NO_RECEIPT_LINE);
        setLine(ctx.statusLine2, kTakeCopy);
    }
}

void handleTermAbort() {
    say("PTAG_TERM_ABORT\n");
    ctx.callAbortFunc = 0;
    if (std::string_view(ctx.statusLine1.data(), kTerminalBlocked.size()) == kTerminalBlocked)
        setLine(ctx.statusLine2, kAbortedByTerminal);
    else
        setLine(ctx.statusLine1, kAbortedByTerminal);
    invokeDisplayStatus();
}

// Elements that only name the event, with the line printed for them.
struct EventElement {
    std::uint8_t tag;
    int event;
    const char* line;
};
constexpr std::array kEventElements{
    EventElement{PTAG_TERM_OPEN, PEVENT_OPEN, "PTAG_TERM_OPEN\n"},
    EventElement{PTAG_TERM_CLOSE, PEVENT_CLOSE, "PTAG_TERM_CLOSE\n"},
    EventElement{PTAG_CONFIRM, PEVENT_CONFIRM, "PTAG_CONFIRM\n"},
    EventElement{PTAG_ADVICE_FLAG, PEVENT_ADVICE_FLAG, "PTAG_ADVICE_FLAG\n"},
    EventElement{PTAG_VER_SIG, PEVENT_VERSIG_ASK, "PTAG_VER_SIG\n"},
};

void handleCard(std::span<const std::uint8_t> value) {
    ctx.cardReceived = 1;
    current_event->event_id = PEVENT_CARDSWIPE;
    ctx.cardData.fill(0);
    std::copy_n(value.begin(), std::min(value.size(), CARD_DATA_LEN), ctx.cardData.begin());
}

// A working terminal ("ARBEJ" on either line) can no longer take the cash register's abort.
void handleStatus1(std::span<const std::uint8_t> value) {
    current_event->event_id = PEVENT_STATUS;
    storeStatus(ctx.statusLine1, value);
    std::array<char, 2 * STATUS_LINE_LEN> both{};
    std::copy(ctx.statusLine1.begin(), ctx.statusLine1.end(), both.begin());
    std::copy(ctx.statusLine2.begin(), ctx.statusLine2.end(), both.begin() + STATUS_LINE_LEN);
    if (containsWord(both, "ARBEJ")) {
        ctx.callAbortFunc = 0;
        say("PTAG_STATUS1 --\n");
    }
}

void handleStatus2(std::span<const std::uint8_t> value) {
    current_event->event_id = PEVENT_STATUS;
    storeStatus(ctx.statusLine2, value);
    if (containsWord(ctx.statusLine2, "ABORTED")) {
        ctx.callAbortFunc = 0;
        say("PTAG_STATUS2 ____\n");
    }
}

void handleTermIdle(std::span<const std::uint8_t> value) {
    ctx.gstResultData = value[0];
    current_event->event_id = PEVENT_IDLE;
}

void handleTrack2Length(std::span<const std::uint8_t> value) {
    ctx.track2LengthReceived = 1;
    ctx.track2Length = value[0] * 256 + value[1];
}

// One element kind, one routine; `value` holds at least minimumLength(tag) bytes.
void interpret(std::uint8_t tag, std::span<const std::uint8_t> value) {
    for (const EventElement& e : kEventElements) {
        if (e.tag != tag) continue;
        say("%s", e.line);
        current_event->event_id = e.event;
        return;
    }
    switch (tag) {
    case PTAG_TERM_CARD:
        return handleCard(value);
    case PTAG_STATUS1:
        return handleStatus1(value);
    case PTAG_STATUS2:
        return handleStatus2(value);
    case PTAG_TERM_ABORT:
        return handleTermAbort();
    case PTAG_TERM_RECEIPT:
        return handleReceipt(value);
    case PTAG_TERM_IDLE:
        return handleTermIdle(value);
    case PTAG_TERM_CARDNAME:
        say("PTAG_TERM_CARDNAME\n");
        return;
    case PTAG_LAST_RECEIPT:
        ctx.receiptSegment = 0;
        return;
    case PTAG_TRACK2_LENGTH:
        return handleTrack2Length(value);
    case PTAG_ISSUERID:
        ctx.tagIssuerID = value[0];
        return;
    case PTAG_TRANS_COMPLETED:
        return handleTransCompleted(value);
    default:
        say("PTAG_UNKNOWN\n");
        return;
    }
}

} // namespace

void parserAddPdo(const TLV* element) {
    // Any element ends the wait for an answer to the driver's own request.
    ctx.ecrRequestsAnswer = 0;
    ctx.lastSendTime = nowSeconds();
    ctx.verSigPending = 0;
    if (!current_event) {
        current_event = SA_newEvent(PEVENT_EMPTY);
        if (!current_event) return;
    }
    // Only the bytes the element really carries are looked at, whatever its layout promises.
    const std::span<const std::uint8_t> value(
        element->value.data(), std::min<std::size_t>(element->length, element->value.size()));
    // An element too short for its layout carries no result or length: ignored as a whole.
    if (value.size() < minimumLength(element->tag)) return;
    interpret(element->tag, value);
}

void parserWalkTlv(const TLV* node) {
    if (!node) return;
    if (TLV_isCdo(node)) {
        for (const auto& child : node->children)
            parserWalkTlv(child.get());
    } else {
        parserAddPdo(node);
    }
}

SA_EVENT* parserHandleTlv(TLV* root) {
    parserFreeEvent();
    if (root) {
        // Freed however the walk ends: a cash-register callback it reaches may throw.
        const std::unique_ptr<TLV*, void (*)(TLV**)> tree(&root, TLV_free);
        if (root->tag == PTAG_MESSAGE) parserWalkTlv(root);
    }
    return current_event;
}

void parserFreeEvent() {
    delete current_event;
    current_event = nullptr;
}

SA_EVENT* parserCurrentEvent() {
    return current_event;
}

} // namespace tarq
