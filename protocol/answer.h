// Construction of the driver's answers to the terminal.
#pragma once

#include "core/sa.h"
#include "protocol/ber.h"

namespace tarq {

// Builds the answer tree for an answer record; nullptr when nothing is to be sent.
TLV* parserSendAnswer(const SA_ANSWER* answer);

} // namespace tarq
