#include "protocol/answer.h"

#include "core/console.h"
#include "core/context.h"
#include "link/clock.h"
#include "link/wipe.h"
#include "protocol/tags.h"

#include <array>
#include <cstdio>
#include <span>

namespace tarq {
namespace {

constexpr std::size_t kNorTransSize = 53;
constexpr std::size_t kNorTransCardSize = 81;
constexpr std::uint32_t kReceiptNumberPauseMs = 600;

// Numbers go on the wire most significant byte first, whatever the processor's order.
void putBigEndian(std::span<std::uint8_t> out, std::uint32_t value) {
    for (std::size_t i = out.size(); i-- > 0;) {
        out[i] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

std::uint8_t typeCode(std::int32_t transactionType) {
    switch (transactionType) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 5:
    case 6:
    case 11:
        return static_cast<std::uint8_t>(transactionType);
    default:
        return 0;
    }
}

template <std::size_t N>
void putText(std::span<std::uint8_t> out, const std::array<char, N>& text) {
    for (std::size_t i = 0; i < N && i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(text[i]);
}

// The payment record; the card variant appends the manually entered card data.
std::size_t buildNorTrans(std::array<std::uint8_t, kNorTransCardSize>& record, bool withCard) {
    const PaymentRequest& r = ctx.request;
    record.fill(0);
    const std::span<std::uint8_t> rec(record);
    rec[0] = typeCode(r.transactionType);
    putBigEndian(rec.subspan(1, 4), static_cast<std::uint32_t>(r.amount));
    putBigEndian(rec.subspan(5, 4), static_cast<std::uint32_t>(r.purchaseAmount));
    putText(rec.subspan(9, 4), r.posData);
    putText(rec.subspan(13, 40), r.dataToHost);
    if (!withCard) return kNorTransSize;
    // Bytes 53 and 54 stay zero.
    putText(rec.subspan(55, 19), r.cardNo);
    putText(rec.subspan(74, 4), r.expDate);
    putText(rec.subspan(78, 3), r.cvc);
    return kNorTransCardSize;
}

void armAnswerTimer() {
    ctx.ecrRequestsAnswer = 1;
    ctx.lastSendTime = nowSeconds();
}

struct Element {
    std::uint8_t tag = 0;
    std::array<std::uint8_t, kNorTransCardSize> value{};
    std::size_t size = 0;
    bool present = false;
    // The payment record may hold the card data: no copy of it outlives its scope.
    ~Element() { wipeBytes(value.data(), value.size()); }
};

Element bare(std::uint8_t tag) {
    Element e;
    e.tag = tag;
    e.present = true;
    return e;
}

// An element whose value is `width` bytes of `number`, most significant first.
Element number(std::uint8_t tag, std::int32_t value, std::size_t width) {
    Element e = bare(tag);
    putBigEndian(std::span(e.value).first(width), static_cast<std::uint32_t>(value));
    e.size = width;
    return e;
}

Element abortElement() {
    ++ctx.abortCounter;
    return bare(PTAG_TERM_ABORT);
}

// Asks for the terminal's answer within the answer time-out.
Element awaited(Element e) {
    armAnswerTimer();
    return e;
}

Element extCardElement() {
    say("parserSendAnswer - PANSWER_OKPOS\n");
    if (ctx.extCardAnswer == 2) {
        say("parserSendAnswer - PTAG_EXTPOSNOTOK\n");
        return bare(PTAG_EXTPOSNOTOK);
    }
    say("parserSendAnswer - PTAG_EXTPOSOK\n");
    return bare(PTAG_EXTPOSOK);
}

Element verSigElement() {
    say("parserSendAnswer - PANSWER_VERSIG\n");
    return bare(ctx.verSigAnswer == 1   ? PTAG_VER_SIG_OK
                : ctx.verSigAnswer == 2 ? PTAG_VER_SIG
                                        : PTAG_VER_SIG_NONE);
}

Element receiptNumberElement() {
    // The terminal needs a moment after a receipt before it takes the count.
    sleepMs(kReceiptNumberPauseMs);
    return number(PTAG_RECEIPTNUMBER, ctx.gstPosReceiptInfo.receipts, 1);
}

Element norTransElement() {
    // Only a negative type (huge when unsigned) carries the card record.
    const bool withCard = static_cast<std::uint32_t>(ctx.request.transactionType) >= 11;
    Element e = bare(withCard ? PTAG_NORTRANS_CARD : PTAG_NORTRANS);
    e.size = buildNorTrans(e.value, withCard);
    return e;
}

Element logged(const char* line, Element e) {
    say("parserSendAnswer - %s\n", line);
    return e;
}

// One answer kind, one element.
Element elementFor(std::uint32_t type) {
    const PaymentRequest& r = ctx.request;
    switch (type) {
    case PANSWER_STATUS1:
        return logged("PANSWER_STATUS1", bare(PTAG_STATUS1));
    case PANSWER_ABORT:
        return abortElement();
    case PANSWER_MI:
        return number(PTAG_MI, static_cast<std::uint8_t>(r.merchIn), 1);
    // Asked for by no handler; carries the request's amount like the payment record does.
    case PANSWER_AMOUNT:
        return number(PTAG_AMOUNT, r.amount, 4);
    case PANSWER_CURRENCYCODE:
        return awaited(number(PTAG_CURRENCYCODE, r.currencyCode, 2));
    case PANSWER_OPEN:
        return bare(PTAG_TERM_OPEN);
    case PANSWER_ADMIN:
        return awaited(number(PTAG_ADMIN, ctx.adminCode, 2));
    case PANSWER_CLOSE:
        return bare(PTAG_TERM_CLOSE);
    case PANSWER_OKPOS:
        return extCardElement();
    case PANSWER_VERSIG:
        return verSigElement();
    case PANSWER_RECEIPTNUMBER:
        return receiptNumberElement();
    case PANSWER_REFUND:
        return awaited(logged("PANSWER_REFUND", bare(PTAG_REFUND)));
    case PANSWER_CONFIRMEEXTCARD:
        return logged("PANSWER_CONFIRMEEXTCARD", bare(PTAG_CONFIRMEEXTCARD));
    case PANSWER_NORTRANS:
        return norTransElement();
    default:
        return logged("DEFAULT", Element{});
    }
}

} // namespace

TLV* parserSendAnswer(const SA_ANSWER* answer) {
    if (!answer || answer->answer_ID == PANSWER_NONE) return nullptr;
    TLV* envelope = TLV_create(PTAG_MESSAGE, 0, nullptr);
    if (!envelope) return nullptr;
    Element e = elementFor(answer->answer_ID);
    if (e.present) {
        TLV* element = TLV_create(e.tag, static_cast<std::uint32_t>(e.size), e.value.data());
        if (element && !TLV_addChild(envelope, element)) TLV_free(&element);
    }
    return envelope;
}

} // namespace tarq
