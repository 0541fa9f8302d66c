// Settings of the simulated terminal: command-line keys and scenario files.
#include "tools/sim/terminal.h"

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

struct Key {
    const char* name;
    const char* help;
};

constexpr Key kKeys[] = {
    {"result", "N[,N..] result of each payment in turn, the last repeats (0 approved)"},
    {"issuer", "N       issuer byte sent with the result (default 3)"},
    {"abort-result", "N result after an abort or a refused card (default 17)"},
    {"receipts", "N     number of payment receipts printed (default 2)"},
    {"receipt", "TEXT    a receipt text (repeatable; replaces the generated ones; \\n, \\xHH)"},
    {"status", "L1|L2    status lines shown before the card (repeatable; \\xHH for letters)"},
    {"card", "DIGITS     card data, e.g. 4571999900001234=2812101"},
    {"track2-len", "N  track-2 length sent with the card (default: the card's bytes)"},
    {"not-ready", "N   answer 'not ready' to the first N payment requests"},
    {"signature", "     ask the ECR to verify the customer's signature"},
    {"ext-card", "      ask the ECR to confirm the card (needs confirmExtCard)"},
    {"terminal-abort", "the terminal aborts after reading the card"},
    {"silence", "[N]     leave N requests (default: all) unanswered; frames are still ACKed"},
    {"mute", "[N]        answer N frames (default: all) not at all, not even with ACK"},
    {"admin-result", "N[,N..] result of each administrative command in turn (default 0)"},
    {"admin-receipts", "N receipts per administrative command (default 1)"},
    {"admin-issuer", "N[,N..] issuer number sent with each command (-1: none)"},
    {"card-delay", "MS  pause before the card is presented (default 300)"},
    {"step-delay", "MS  pause between the terminal's messages (default 100)"},
    {"exit-on-close", " exit when the ECR closes the connection"},
    {"nak", "LIST        NAK the ECR's data frames with these ordinals (e.g. 1,3)"},
    {"wack", "LIST       WACK them (released with an ACK 500 ms later)"},
    {"bad-crc", "LIST    send these frames first with a broken CRC"},
    {"repeat", "LIST     send these frames twice (same sequence number)"},
    {"noise", "LIST      send noise bytes before these frames"},
    {"pause", "LIST      pause 150 ms in the middle of these frames"},
    {"lost-ack", "LIST   take these frames but leave their ACK out (the ECR sends again)"},
    {"fault-rate", "P  one random fault in this share of data frames (e.g. 0.02)"},
    {"fault-seed", "N  seed of the random faults (default 1)"},
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
    bool ok = true;
    if (key == "result")
        ok = toList(value, c.result);
    else if (key == "issuer")
        ok = toInt(value, c.issuer);
    else if (key == "abort-result")
        ok = toInt(value, c.abortResult);
    else if (key == "receipts")
        ok = toInt(value, c.receipts) && c.receipts >= 0;
    else if (key == "receipt")
        c.receiptTexts.push_back(unescape(value));
    else if (key == "status")
        c.statusTexts.push_back(unescape(value));
    else if (key == "card") {
        c.card = packCard(value);
        ok = !c.card.empty();
    } else if (key == "track2-len")
        ok = toInt(value, c.track2Length);
    else if (key == "not-ready")
        ok = toInt(value, c.notReady);
    else if (key == "signature")
        ok = toBool(value, c.signature);
    else if (key == "ext-card")
        ok = toBool(value, c.extCard);
    else if (key == "terminal-abort")
        ok = toBool(value, c.terminalAbort);
    else if (key == "silence")
        ok = toCount(value, c.silence);
    else if (key == "mute")
        ok = toCount(value, c.mute);
    else if (key == "admin-result")
        ok = toList(value, c.adminResult);
    else if (key == "admin-receipts")
        ok = toInt(value, c.adminReceipts) && c.adminReceipts >= 0;
    else if (key == "admin-issuer")
        ok = toList(value, c.adminIssuer);
    else if (key == "card-delay")
        ok = toInt(value, c.cardDelayMs) && c.cardDelayMs >= 0;
    else if (key == "step-delay")
        ok = toInt(value, c.stepDelayMs) && c.stepDelayMs >= 0;
    else if (key == "exit-on-close")
        ok = toBool(value, c.exitOnClose);
    else if (key == "nak")
        ok = toSet(value, c.nak);
    else if (key == "wack")
        ok = toSet(value, c.wack);
    else if (key == "bad-crc")
        ok = toSet(value, c.badCrc);
    else if (key == "repeat")
        ok = toSet(value, c.repeat);
    else if (key == "noise")
        ok = toSet(value, c.noise);
    else if (key == "pause")
        ok = toSet(value, c.pause);
    else if (key == "lost-ack")
        ok = toSet(value, c.lostAck);
    else if (key == "fault-rate") {
        double rate = 0;
        const std::string v(value);
        char* end = nullptr;
        rate = std::strtod(v.c_str(), &end);
        ok = !v.empty() && *end == '\0' && rate >= 0 && rate <= 1;
        if (ok) c.faultRate = rate;
    } else if (key == "fault-seed") {
        int seed = 0;
        ok = toInt(value, seed) && seed >= 0;
        if (ok) c.faultSeed = static_cast<unsigned>(seed);
    } else
        return "unknown setting '" + std::string(key) + "'";
    if (!ok) return "bad value '" + std::string(value) + "' for " + std::string(key);
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
