#include "tools/sim/log.h"

#include "link/pkiss.h"
#include "protocol/describe.h"

#include <cstdarg>

namespace tarq::sim {

std::string format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

void Log::line(const char* direction, const std::string& text) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    std::fprintf(out_, "[%6lld.%03lld] %-3s %s\n", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), direction, text.c_str());
    std::fflush(out_);
}

void Log::frame(const char* direction, const std::vector<std::uint8_t>& f, bool decode) {
    line(direction, format("frame seq=%02X: %s", f.size() > 1 ? f[1] : 0, hexBytes(f).c_str()));
    if (!decode || f.size() < 5) return;
    std::vector<std::uint8_t> data(f.size());
    const auto n =
        PKISS_UnStuff(data.data(), f.data() + 2, static_cast<std::uint32_t>(f.size() - 5));
    line("", "    " + describeMessage(std::span(data.data(), n)));
}

} // namespace tarq::sim
