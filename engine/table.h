// The transition table: one builder per state.
#pragma once

#include "core/sa.h"

namespace tarq {

SA_EVENT_ARRAY* initIdle();
SA_EVENT_ARRAY* initOpen();
SA_EVENT_ARRAY* initMi();
SA_EVENT_ARRAY* initMiCu();
SA_EVENT_ARRAY* initMiCuAmount();
SA_EVENT_ARRAY* initMiCuAmountCardswipe();
SA_EVENT_ARRAY* initCardswipe();
SA_EVENT_ARRAY* initMiCardswipe();
SA_EVENT_ARRAY* initMiCucardswipe();
SA_EVENT_ARRAY* initTermNotReady();

// SA_init, then every state's array built and registered in order 0..9.
void setupStateMachine();

} // namespace tarq
