// Internal helpers shared by the exported operations: the link, the refusal.
#include "driver/support.h"

#include "core/context.h"
#include "driver/callinfo.h"
#include "engine/mainloop.h"
#include "link/pkiss.h"
#include "tarqdriver.h"

#include <string_view>

namespace tarq {

static_assert(DISPLAY_LINE_LEN == STATUS_LINE_LEN && RECEIPT_TEXT_SIZE == RECEIPT_SIZE &&
                  std::string_view(BLANK_DISPLAY_LINE) == BLANK_LINE,
              "the bridge's sizes are the context's");

int lastIssuer() noexcept {
    return ctx.issuerID;
}

std::size_t receiptsOfCall() noexcept {
    return ctx.gstPosReceiptInfo.receipts;
}

void endFailedCall() noexcept {
    abandonExchange();
}

CardDataScope::~CardDataScope() {
    wipeCardData();
}

int rs232Open() {
    const char* device = ctx.devicePath[0] != '\0' ? ctx.devicePath.data() : nullptr;
    ctx.pKiss = PKISS_Create(ctx.comPort, static_cast<std::uint32_t>(ctx.baudRate), device);
    return ctx.pKiss != nullptr ? 0 : 1;
}

void rs232Close() {
    PKISS_Delete(&ctx.pKiss);
}

void printVersion() {
    say("no_kelmo_javaTarq ver 1.67, 26.09.2005\n");
    say("ZaduZiruv ver 1.82 RS, 16.08.2006\n");
}

int connectionRefusal() {
    reopenLostLine();
    if (ctx.closedFlag == 1) {
        say("Please open dll / comport!\n");
        return TRQ_CLOSED;
    }
    if (!ctx.openCompleted()) {
        say("DLL/comport not opened successfully\n");
        return TRQ_NOT_OPEN;
    }
    return 0;
}

} // namespace tarq
