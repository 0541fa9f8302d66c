#include "protocol/describe.h"

#include "protocol/ber.h"
#include "protocol/charset.h"
#include "protocol/tags.h"

#include <cstdio>

namespace tarq {
namespace {

// Two hex digits of a byte.
void appendHex(std::string& out, std::uint8_t b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
}

// Windows-1252 text shown readably: its letters and signs as UTF-8, control bytes (and the five
// bytes the set leaves undefined) as \xNN, so that a log line stays one line.
std::string readable(std::span<const std::uint8_t> text) {
    std::string out;
    for (const std::uint8_t b : text) {
        const char16_t c = cp1252ToUnicode(b);
        if (b == '\n') {
            out += "\\n";
        } else if ((c >= 0x20 && c < 0x7F) || c >= 0xA0) {
            appendUtf8(out, c, Utf8Form::Standard);
        } else {
            out += "\\x";
            appendHex(out, b);
        }
    }
    return out;
}

// A fixed field of the payment record: its text up to the first zero byte.
std::string zeroEnded(std::span<const std::uint8_t> field) {
    std::size_t len = 0;
    while (len < field.size() && field[len] != 0)
        ++len;
    return readable(field.first(len));
}

bool isText(std::uint8_t tag) {
    return tag == PTAG_STATUS1 || tag == PTAG_STATUS2 || tag == PTAG_TERM_RECEIPT ||
           tag == PTAG_TERM_CARDNAME;
}

std::uint32_t be32(std::span<const std::uint8_t> v, std::size_t at) {
    if (v.size() < at + 4) return 0;
    return std::uint32_t{v[at]} << 24 | std::uint32_t{v[at + 1]} << 16 |
           std::uint32_t{v[at + 2]} << 8 | v[at + 3];
}

// The card element packs track 2 in half-bytes: digits, the separator D, the filler F. The
// card number runs up to the separator; it keeps its first six and last four digits, every
// other digit becomes '*', in the hex rendering itself.
std::string maskedTrack2Hex(std::span<const std::uint8_t> packed) {
    std::size_t panDigits = 0;
    for (std::size_t i = 0; i < packed.size() * 2; ++i) {
        const std::uint8_t nibble = i % 2 ? packed[i / 2] & 0x0F : packed[i / 2] >> 4;
        if (nibble > 9) break;
        ++panDigits;
    }
    std::string out;
    for (std::size_t i = 0; i < packed.size() * 2; ++i) {
        if (i && i % 2 == 0) out += ' ';
        const std::uint8_t nibble = i % 2 ? packed[i / 2] & 0x0F : packed[i / 2] >> 4;
        const bool shown = i < panDigits && (i < 6 || i + 4 >= panDigits);
        out += nibble > 9 || shown ? "0123456789ABCDEF"[nibble] : '*';
    }
    return out;
}

} // namespace

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        appendHex(out, bytes[i]);
    }
    return out;
}

const char* tagName(std::uint8_t tag, bool fromTerminal) {
    switch (tag) {
    case PTAG_MESSAGE:
        return "MESSAGE";
    case PTAG_TERM_OPEN:
        return "PTAG_TERM_OPEN";
    case PTAG_TERM_CLOSE:
        return "PTAG_TERM_CLOSE";
    case PTAG_AMOUNT:
        return "PTAG_AMOUNT";
    case PTAG_CURRENCYCODE:
        return "PTAG_CURRENCYCODE";
    case PTAG_MI:
        return "PTAG_MI";
    case PTAG_TERM_CARD:
        return "PTAG_TERM_CARD";
    case PTAG_STATUS1:
        return "PTAG_STATUS1";
    case PTAG_STATUS2:
        return "PTAG_STATUS2";
    case PTAG_TERM_ABORT:
        return "PTAG_TERM_ABORT";
    case PTAG_CONFIRM:
        return "PTAG_CONFIRM";
    case PTAG_TERM_RECEIPT:
        return "PTAG_TERM_RECEIPT";
    case PTAG_TERM_IDLE:
        return "PTAG_TERM_IDLE";
    case PTAG_TERM_CARDNAME:
        return "PTAG_TERM_CARDNAME";
    case PTAG_EXTPOSOK:
        return "PTAG_EXTPOSOK";
    case PTAG_EXTPOSNOTOK:
        return "PTAG_EXTPOSNOTOK";
    case PTAG_ADVICE_FLAG:
        return "PTAG_ADVICE_FLAG";
    case PTAG_ADMIN:
        return "PTAG_ADMIN";
    case PTAG_VER_SIG_OK:
        return "PTAG_VER_SIG_OK";
    case PTAG_VER_SIG:
        return fromTerminal ? "PTAG_VER_SIG" : "PTAG_VER_SIG (not confirmed)";
    case PTAG_NORTRANS:
        return "PTAG_NORTRANS";
    case PTAG_REFUND:
        return "PTAG_REFUND";
    case PTAG_RECEIPTNUMBER:
        return "PTAG_RECEIPTNUMBER";
    case PTAG_CONFIRMEEXTCARD:
        return "PTAG_CONFIRMEEXTCARD";
    case PTAG_VER_SIG_NONE:
        return "PTAG_VER_SIG_NONE";
    case PTAG_LAST_RECEIPT:
        return "PTAG_LAST_RECEIPT";
    case PTAG_TRACK2_LENGTH:
        return "PTAG_TRACK2_LENGTH";
    case PTAG_NORTRANS_CARD:
        return "PTAG_NORTRANS_CARD";
    case PTAG_TRANS_COMPLETED:
        return "PTAG_TRANS_COMPLETED";
    case PTAG_ISSUERID:
        return "PTAG_ISSUERID";
    default:
        return "PTAG_UNKNOWN";
    }
}

namespace {

void describeNode(const TLV* node, bool fromTerminal, const DescribeOptions& options,
                  std::string& out) {
    out += hexBytes(std::span(&node->tag, 1));
    out += ' ';
    out += tagName(node->tag, fromTerminal);
    if (TLV_isCdo(node)) {
        out += " {";
        for (const auto& child : node->children) {
            out += ' ';
            describeNode(child.get(), fromTerminal, options, out);
        }
        out += " }";
    }
    const std::span<const std::uint8_t> v(node->value); // empty for a constructed node
    if (v.empty()) return;
    if (isText(node->tag)) {
        out += " \"" + readable(v) + "\"";
    } else if ((node->tag == PTAG_NORTRANS || node->tag == PTAG_NORTRANS_CARD) && v.size() >= 53) {
        // The card record's card fields (from byte 55 on) are never shown.
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, " type=%u amount=%u purchase=%u", v[0], be32(v, 1),
                      be32(v, 5));
        out += numbers;
        out += " pos=\"" + zeroEnded(v.subspan(9, 4)) + "\" host=\"" +
               zeroEnded(v.subspan(13, 40)) + "\"";
    } else if (node->tag == PTAG_TERM_CARD && options.maskCardData) {
        out += " [" + maskedTrack2Hex(v) + "]";
    } else {
        out += " [" + hexBytes(v) + "]";
    }
}

} // namespace

std::string describeMessage(std::span<const std::uint8_t> bytes, DescribeOptions options) {
    if (bytes.empty()) return "(keep-alive)";
    const int size = BER_check(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (size == BER_INVALID) return "(not a BER-TLV object)";
    TLV* root = BER2TLV(bytes.data(), static_cast<std::uint32_t>(size));
    if (!root) return "(undecodable)";
    std::string out;
    // The envelope's first element tells the direction well enough for the one ambiguous tag.
    describeNode(root, true, options, out);
    TLV_free(&root);
    return out;
}

} // namespace tarq
