#include "protocol/answer.h"

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
};

Element elementFor(std::uint32_t type) {
    Element e;
    e.present = true;
    switch (type) {
    case PANSWER_STATUS1:
        std::printf("parserSendAnswer - PANSWER_STATUS1\n");
        e.tag = PTAG_STATUS1;
        break;
    case PANSWER_ABORT:
        ++ctx.abortCounter;
        e.tag = PTAG_TERM_ABORT;
        break;
    case PANSWER_MI:
        e.tag = PTAG_MI;
        e.value[0] = static_cast<std::uint8_t>(ctx.request.merchIn);
        e.size = 1;
        break;
    case PANSWER_AMOUNT:
        // Asked for by no handler; carries the request's amount like the payment record does.
        e.tag = PTAG_AMOUNT;
        putBigEndian(std::span(e.value).first(4), static_cast<std::uint32_t>(ctx.request.amount));
        e.size = 4;
        break;
    case PANSWER_CURRENCYCODE:
        armAnswerTimer();
        e.tag = PTAG_CURRENCYCODE;
        putBigEndian(std::span(e.value).first(2),
                     static_cast<std::uint32_t>(ctx.request.currencyCode));
        e.size = 2;
        break;
    case PANSWER_OPEN:
        e.tag = PTAG_TERM_OPEN;
        break;
    case PANSWER_ADMIN:
        armAnswerTimer();
        e.tag = PTAG_ADMIN;
        putBigEndian(std::span(e.value).first(2), static_cast<std::uint32_t>(ctx.adminCode));
        e.size = 2;
        break;
    case PANSWER_CLOSE:
        e.tag = PTAG_TERM_CLOSE;
        break;
    case PANSWER_OKPOS:
        std::printf("parserSendAnswer - PANSWER_OKPOS\n");
        if (ctx.extCardAnswer == 2) {
            std::printf("parserSendAnswer - PTAG_EXTPOSNOTOK\n");
            e.tag = PTAG_EXTPOSNOTOK;
        } else {
            std::printf("parserSendAnswer - PTAG_EXTPOSOK\n");
            e.tag = PTAG_EXTPOSOK;
        }
        break;
    case PANSWER_VERSIG:
        std::printf("parserSendAnswer - PANSWER_VERSIG\n");
        e.tag = ctx.verSigAnswer == 1   ? PTAG_VER_SIG_OK
                : ctx.verSigAnswer == 2 ? PTAG_VER_SIG
                                        : PTAG_VER_SIG_NONE;
        break;
    case PANSWER_RECEIPTNUMBER:
        // The terminal needs a moment after a receipt before it takes the count.
        sleepMs(kReceiptNumberPauseMs);
        ctx.lastSendTime = nowSeconds();
        e.tag = PTAG_RECEIPTNUMBER;
        e.value[0] = ctx.gstPosReceiptInfo.receipts;
        e.size = 1;
        break;
    case PANSWER_REFUND:
        std::printf("parserSendAnswer - PANSWER_REFUND\n");
        armAnswerTimer();
        e.tag = PTAG_REFUND;
        break;
    case PANSWER_CONFIRMEEXTCARD:
        std::printf("parserSendAnswer - PANSWER_CONFIRMEEXTCARD\n");
        e.tag = PTAG_CONFIRMEEXTCARD;
        break;
    case PANSWER_NORTRANS: {
        // Only a negative type (huge when unsigned) carries the card record.
        const bool withCard = static_cast<std::uint32_t>(ctx.request.transactionType) >= 11;
        e.tag = withCard ? PTAG_NORTRANS_CARD : PTAG_NORTRANS;
        e.size = buildNorTrans(e.value, withCard);
        break;
    }
    default:
        std::printf("parserSendAnswer - DEFAULT\n");
        e.present = false;
        break;
    }
    return e;
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
    wipeBytes(e.value.data(), e.value.size()); // the card record, for a manual entry
    return envelope;
}

} // namespace tarq
