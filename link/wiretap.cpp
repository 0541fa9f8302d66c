#include "link/wiretap.h"

namespace tarq {

TapSink tapSink = nullptr;

} // namespace tarq
