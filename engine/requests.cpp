// The driver's own requests: events posted outside the main loop.
#include "engine/requests.h"

#include "core/config.h"
#include "core/context.h"
#include "core/sa.h"
#include "link/clock.h"
#include "protocol/transport.h"

#include <memory>

namespace tarq {

int postEvent(int eventId, bool* answered) {
    if (answered) *answered = false;
    std::unique_ptr<SA_EVENT> event(SA_newEvent(eventId));
    if (!event) return 0;
    std::unique_ptr<SA_ANSWER> answer(SA_handleEvent(event.get()));
    if (!answer) return 0;
    if (answered) *answered = true;
    return sendEvent(answer.get());
}

void sendCardTransaction() {
    writeLog("sendCardTransaction", ctx.request.transactionType);
    // A message the link does not deliver does not stop the run: the main loop's time-outs
    // end the call.
    if (ctx.request.confirmExtCard != 0) postEvent(PEVENT_CONFIRM_EXTCARD);
    postEvent(PEVENT_MI);
    sleepMs(200); // the terminal must have taken the MI before the currency code comes
    postEvent(PEVENT_CURRENCYCODE);
}

} // namespace tarq
