#include "protocol/ber.h"

#include <cstring>
#include <new>

namespace tarq {
namespace {

constexpr std::uint8_t kConstructedBit = 0x20;
constexpr std::uint8_t kMultiByteTag = 0x1F;
constexpr std::uint32_t kMaxLength = 0xFFFF;

bool isConstructed(std::uint8_t tag) {
    return (tag & kConstructedBit) != 0;
}

int checkObject(const std::uint8_t* buf, std::uint32_t size, int depth) {
    if (depth > BER_MAX_DEPTH) return BER_INVALID;
    const int t = BER_checkTag(buf, size);
    if (t <= 0) return BER_INVALID;
    const auto tu = static_cast<std::uint32_t>(t);
    std::uint32_t length = 0;
    const int l = BER_checkLength(buf + tu, size - tu, &length);
    if (l <= 0) return BER_INVALID;
    const std::uint32_t header = tu + static_cast<std::uint32_t>(l);
    if (static_cast<std::uint64_t>(header) + length > size) return BER_INVALID;
    if (isConstructed(buf[0])) {
        // A contained object is bounded by the rest of the buffer, not by its parent: that is
        // the size the link hands over, and the decoder applies the tighter bound.
        std::uint32_t i = 0;
        while (i < length) {
            const int r = checkObject(buf + header + i, size - (header + i), depth + 1);
            if (r < 0) return BER_INVALID;
            i += static_cast<std::uint32_t>(r);
        }
    }
    return static_cast<int>(header + length);
}

// Decodes one object of at most `size` bytes; `used` receives the bytes it took.
std::unique_ptr<TLV> decodeObject(const std::uint8_t* buf, std::uint32_t size, int depth,
                                  std::uint32_t& used) {
    if (size < 2 || depth > BER_MAX_DEPTH) return nullptr;
    if ((buf[0] & kMultiByteTag) == kMultiByteTag) return nullptr; // not representable
    std::uint32_t length = 0;
    const int l = BER_checkLength(buf + 1, size - 1, &length);
    if (l <= 0) return nullptr;
    const std::uint32_t header = 1 + static_cast<std::uint32_t>(l);
    if (static_cast<std::uint64_t>(header) + length > size) return nullptr;

    auto node = std::make_unique<TLV>();
    node->tag = buf[0];
    node->length = length;
    if (isConstructed(buf[0])) {
        std::uint32_t consumed = 0;
        while (consumed < length) {
            std::uint32_t childUsed = 0;
            auto child =
                decodeObject(buf + header + consumed, length - consumed, depth + 1, childUsed);
            if (!child) break;
            node->children.push_back(std::move(child));
            consumed += childUsed;
        }
    } else {
        node->value.assign(buf + header, buf + header + length);
    }
    used = header + length;
    return node;
}

// Encodes into out[0..room); returns bytes written or 0 when it does not fit or is inconsistent.
std::uint32_t encodeObject(const TLV& node, std::uint8_t* out, std::uint32_t room) {
    std::uint8_t field[3];
    const int lf = TLVLength2BERLength(&node, field);
    if (lf <= 0) return 0;
    const std::uint32_t header = 1 + static_cast<std::uint32_t>(lf);
    if (static_cast<std::uint64_t>(header) + node.length > room) return 0;
    out[0] = node.tag;
    std::memcpy(out + 1, field, static_cast<std::size_t>(lf));
    std::uint32_t content = 0;
    if (isConstructed(node.tag)) {
        for (const auto& child : node.children) {
            const std::uint32_t w =
                encodeObject(*child, out + header + content, node.length - content);
            if (w == 0) return 0;
            content += w;
        }
    } else if (node.length > 0) {
        if (node.value.size() != node.length) return 0;
        std::memcpy(out + header, node.value.data(), node.length);
        content = node.length;
    }
    // A length field that disagrees with what follows it would be a malformed message.
    if (content != node.length) return 0;
    return header + content;
}

} // namespace

TLV* TLV_create(std::uint8_t tag, std::uint32_t length, const std::uint8_t* value) {
    auto* node = new (std::nothrow) TLV;
    if (!node) return nullptr;
    node->tag = tag;
    if (isConstructed(tag) || length == 0) return node; // length of a constructed node: 0
    if (!value) {
        delete node;
        return nullptr;
    }
    try {
        node->value.assign(value, value + length);
    } catch (const std::bad_alloc&) {
        delete node;
        return nullptr;
    }
    node->length = length;
    return node;
}

TLV* TLV_addChild(TLV* parent, TLV* child) {
    if (!parent || !child || !isConstructed(parent->tag)) return nullptr;
    try {
        parent->children.reserve(parent->children.size() + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    parent->children.emplace_back(child); // cannot throw after the reserve
    parent->length += TLVBERLength(child);
    return parent;
}

int TLV_isCdo(const TLV* node) {
    return node && isConstructed(node->tag) ? 1 : 0;
}

std::uint32_t TLVBERLength(const TLV* node) {
    if (!node) return 0;
    if (node->length < 0x80) return node->length + 2;
    if (node->length <= 0xFF) return node->length + 3;
    return node->length + 4;
}

int TLVLength2BERLength(const TLV* node, std::uint8_t* out) {
    const std::uint32_t n = node->length;
    if (n < 0x80) {
        out[0] = static_cast<std::uint8_t>(n);
        return 1;
    }
    if (n <= 0xFF) {
        out[0] = 0x81;
        out[1] = static_cast<std::uint8_t>(n);
        return 2;
    }
    if (n <= kMaxLength) {
        out[0] = 0x82;
        out[1] = static_cast<std::uint8_t>(n >> 8);
        out[2] = static_cast<std::uint8_t>(n);
        return 3;
    }
    return 0;
}

std::uint32_t TLV2BER(const TLV* root, std::uint8_t* out, std::uint32_t outSize) {
    if (!root || !out) return 0;
    return encodeObject(*root, out, outSize);
}

int BER_checkTag(const std::uint8_t* buf, std::uint32_t size) {
    if (size == 0) return -1; // no tag byte
    if ((buf[0] & kMultiByteTag) != kMultiByteTag) return 1;
    for (std::uint32_t i = 1; i < size; ++i) {
        if ((buf[i] & 0x80) == 0) return static_cast<int>(i + 1);
    }
    return -1;
}

int BER_checkLength(const std::uint8_t* buf, std::uint32_t size, std::uint32_t* length) {
    *length = 0;
    if (size == 0) return -1;
    const std::uint8_t b = buf[0];
    if (b < 0x80) {
        *length = b;
        return 1;
    }
    // Indefinite form (0x80) and three or more length bytes are outside the protocol.
    if (b == 0x80 || b > 0x82) return -1;
    const std::uint32_t n = b & 0x7Fu;
    if (n > size - 1) return -1;
    std::uint32_t value = 0;
    for (std::uint32_t i = 1; i <= n; ++i)
        value = (value << 8) | buf[i];
    *length = value;
    return static_cast<int>(n + 1);
}

int BER_check(const std::uint8_t* buf, std::uint32_t size) {
    if (!buf) return BER_INVALID;
    return checkObject(buf, size, 0);
}

TLV* BER2TLV(const std::uint8_t* buf, std::uint32_t size) {
    if (!buf) return nullptr;
    try {
        std::uint32_t used = 0;
        return decodeObject(buf, size, 0, used).release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void TLV_free(TLV** root) {
    if (!root) return;
    delete *root;
    *root = nullptr;
}

} // namespace tarq
