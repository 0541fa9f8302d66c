// Interpretation of terminal messages.
#pragma once

#include "core/sa.h"
#include "protocol/ber.h"

namespace tarq {

// Interprets one primitive element of a terminal message into the driver context and sets the
// event of current_event.
void parserAddPdo(const TLV* element);
// Frees the previous event, walks an 0xE1 envelope, frees the tree; returns current_event.
SA_EVENT* parserHandleTlv(TLV* root);
void parserWalkTlv(const TLV* node);
void parserFreeEvent();
// The event of the terminal message being interpreted (owned here).
SA_EVENT* parserCurrentEvent();

} // namespace tarq
