// Settings of the simulated terminal: command-line keys and scenario files.
#include "tools/sim/terminal.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarq::sim {
namespace {

bool toInt(std::string_view text, int& out) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc{} && p == end;
}

bool toBool(std::string_view text, bool& out) {
    if (text.empty() || text == "1" || text == "yes" || text == "on" || text == "true") {
        out = true;
        return true;
    }
    if (text == "0" || text == "no" || text == "off" || text == "false") {
        out = false;
        return true;
    }
    return false;
}

bool toList(std::string_view text, std::vector<int>& out) {
    out.clear();
    while (!text.empty()) {
        const auto comma = text.find(',');
        int n = 0;
        if (!toInt(text.substr(0, comma), n)) return false;
        out.push_back(n);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return !out.empty();
}

// A number counts; a bare flag (or yes/on/true) means for ever (-1).
bool toCount(std::string_view text, int& out) {
    bool flag = false;
    if (toBool(text, flag) && text != "1" && text != "0") {
        out = flag ? -1 : 0;
        return true;
    }
    return toInt(text, out) && out >= 0;
}

bool toSet(std::string_view text, std::set<int>& out) {
    out.clear();
    while (!text.empty()) {
        const auto comma = text.find(',');
        int n = 0;
        if (!toInt(text.substr(0, comma), n) || n < 1) return false;
        out.insert(n);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return !out.empty();
}

// "\n" in a setting stands for a line break; "\xHH" for any byte (Windows-1252 letters).
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[i + 1];
            if (c == 'n') {
                out += '\n';
                ++i;
                continue;
            }
            if (c == 'x' && i + 3 < text.size()) {
                unsigned v = 0;
                auto [p, ec] = std::from_chars(text.data() + i + 2, text.data() + i + 4, v, 16);
                if (ec == std::errc{} && p == text.data() + i + 4) {
                    out += static_cast<char>(v);
                    i += 3;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Readers of one setting's value into its field of the configuration; false for a bad value.
using Apply = bool (*)(Config&, std::string_view);

template <auto Field> bool asInt(Config& c, std::string_view v) {
    return toInt(v, c.*Field);
}
// A count or a time: no negative value.
template <auto Field> bool asCountOf(Config& c, std::string_view v) {
    return toInt(v, c.*Field) && c.*Field >= 0;
}
template <auto Field> bool asBool(Config& c, std::string_view v) {
    return toBool(v, c.*Field);
}
template <auto Field> bool asCount(Config& c, std::string_view v) {
    return toCount(v, c.*Field);
}
template <auto Field> bool asList(Config& c, std::string_view v) {
    return toList(v, c.*Field);
}
template <auto Field> bool asSet(Config& c, std::string_view v) {
    return toSet(v, c.*Field);
}
template <auto Field> bool appendText(Config& c, std::string_view v) {
    (c.*Field).push_back(unescape(v));
    return true;
}
bool setCard(Config& c, std::string_view v) {
    c.card = packCard(v);
    return !c.card.empty();
}
bool setFaultRate(Config& c, std::string_view v) {
    const std::string text(v);
    char* end = nullptr;
    const double rate = std::strtod(text.c_str(), &end);
    const bool ok = !text.empty() && *end == '\0' && rate >= 0 && rate <= 1;
    if (ok) c.faultRate = rate;
    return ok;
}
bool setFaultSeed(Config& c, std::string_view v) {
    int seed = 0;
    const bool ok = toInt(v, seed) && seed >= 0;
    if (ok) c.faultSeed = static_cast<unsigned>(seed);
    return ok;
}

struct Key {
    const char* name;
    const char* help;
    Apply apply;
};

constexpr Key kKeys[] = {
    {"result", "N[,N..] result of each payment in turn, the last repeats (0 approved)",
     asList<&Config::result>},
    {"issuer", "N       issuer byte sent with the result (default 3)", asInt<&Config::issuer>},
    {"abort-result", "N result after an abort or a refused card (default 17)",
     asInt<&Config::abortResult>},
    {"receipts", "N     number of payment receipts printed (default 2)",
     asCountOf<&Config::receipts>},
    {"receipt", "TEXT    a receipt text (repeatable; replaces the generated ones; \\n, \\xHH)",
     appendText<&Config::receiptTexts>},
    {"status", "L1|L2    status lines shown before the card (repeatable; \\xHH for letters)",
     appendText<&Config::statusTexts>},
    {"card", "DIGITS     card data, e.g. 4571999900001234=2812101", setCard},
    {"track2-len", "N  track-2 length sent with the card (default: the card's bytes)",
     asInt<&Config::track2Length>},
    {"not-ready", "N   answer 'not ready' to the first N payment requests",
     asInt<&Config::notReady>},
    {"signature", "     ask the ECR to verify the customer's signature",
     asBool<&Config::signature>},
    {"ext-card", "      ask the ECR to confirm the card (needs confirmExtCard)",
     asBool<&Config::extCard>},
    {"terminal-abort", "the terminal aborts after reading the card",
     asBool<&Config::terminalAbort>},
    {"silence", "[N]     leave N requests (default: all) unanswered; frames are still ACKed",
     asCount<&Config::silence>},
    {"mute", "[N]        answer N frames (default: all) not at all, not even with ACK",
     asCount<&Config::mute>},
    {"admin-result", "N[,N..] result of each administrative command in turn (default 0)",
     asList<&Config::adminResult>},
    {"admin-receipts", "N receipts per administrative command (default 1)",
     asCountOf<&Config::adminReceipts>},
    {"admin-issuer", "N[,N..] issuer number sent with each command (-1: none)",
     asList<&Config::adminIssuer>},
    {"card-delay", "MS  pause before the card is presented (default 300)",
     asCountOf<&Config::cardDelayMs>},
    {"step-delay", "MS  pause between the terminal's messages (default 100)",
     asCountOf<&Config::stepDelayMs>},
    {"exit-on-close", " exit when the ECR closes the connection", asBool<&Config::exitOnClose>},
    {"nak", "LIST        NAK the ECR's data frames with these ordinals (e.g. 1,3)",
     asSet<&Config::nak>},
    {"wack", "LIST       WACK them (released with an ACK 500 ms later)", asSet<&Config::wack>},
    {"bad-crc", "LIST    send these frames first with a broken CRC", asSet<&Config::badCrc>},
    {"repeat", "LIST     send these frames twice (same sequence number)", asSet<&Config::repeat>},
    {"noise", "LIST      send noise bytes before these frames", asSet<&Config::noise>},
    {"pause", "LIST      pause 150 ms in the middle of these frames", asSet<&Config::pause>},
    {"lost-ack", "LIST   take these frames but leave their ACK out (the ECR sends again)",
     asSet<&Config::lostAck>},
    {"fault-rate", "P  one random fault in this share of data frames (e.g. 0.02)", setFaultRate},
    {"fault-seed", "N  seed of the random faults (default 1)", setFaultSeed},
};

} // namespace

Config defaultConfig() {
    Config c;
    c.card = packCard("4571999900001234=2812101");
    return c;
}

std::vector<std::uint8_t> packCard(std::string_view digits) {
    std::vector<std::uint8_t> nibbles;
    for (char ch : digits) {
        if (ch >= '0' && ch <= '9') nibbles.push_back(static_cast<std::uint8_t>(ch - '0'));
        if (ch == '=' || ch == 'D' || ch == 'd') nibbles.push_back(0xD);
    }
    if (nibbles.size() % 2) nibbles.push_back(0xF);
    std::vector<std::uint8_t> packed;
    for (std::size_t i = 0; i + 1 < nibbles.size(); i += 2)
        packed.push_back(static_cast<std::uint8_t>(nibbles[i] << 4 | nibbles[i + 1]));
    return packed;
}

std::string applySetting(Config& c, std::string_view key, std::string_view value) {
    const auto* k = std::find_if(std::begin(kKeys), std::end(kKeys),
                                 [key](const Key& entry) { return key == entry.name; });
    if (k == std::end(kKeys)) return "unknown setting '" + std::string(key) + "'";
    if (!k->apply(c, value))
        return "bad value '" + std::string(value) + "' for " + std::string(key);
    return {};
}

std::string loadScenario(Config& c, const std::string& path) {
    std::ifstream in(path);
    if (!in) return "cannot read " + path;
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        auto split = line.find_first_of("= \t");
        std::string_view key = trim(line.substr(0, split));
        std::string_view value;
        if (split != std::string_view::npos) {
            value = trim(line.substr(split + 1));
            if (!value.empty() && value.front() == '=') value = trim(value.substr(1));
        }
        if (auto error = applySetting(c, key, value); !error.empty())
            return path + ":" + std::to_string(number) + ": " + error;
    }
    return {};
}

std::string settingsHelp() {
    std::ostringstream out;
    for (const Key& k : kKeys)
        out << "  " << k.name << ' ' << k.help << '\n';
    return out.str();
}

} // namespace tarq::sim
