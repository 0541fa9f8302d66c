#include "link/wiretap.h"

namespace tarq {

std::atomic<TapSink> tapSink{nullptr};

} // namespace tarq
