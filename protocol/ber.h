// BER-TLV codec: one-byte tags, short and 0x81/0x82 long lengths.
#pragma once

#include "link/wipe.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace tarq {

struct TLV {
    std::uint8_t tag = 0;
    // Primitive: value bytes. Constructed: total encoded size of the children
    // (or, for a decoded node, the length declared on the wire).
    std::uint32_t length = 0;
    std::vector<std::uint8_t> value;            // primitive nodes with length > 0
    std::vector<std::unique_ptr<TLV>> children; // constructed nodes, in message order

    TLV() = default;
    TLV(const TLV&) = delete;
    TLV& operator=(const TLV&) = delete;
    // Values may be card data: none is left behind in freed memory.
    ~TLV() { wipeBytes(value.data(), value.size()); }
};

// Deepest nesting of constructed objects the check and the decoder accept; real messages nest
// at most two levels, and the bound keeps recursion (and the stack) small on hostile input.
inline constexpr int BER_MAX_DEPTH = 64;

// nullptr when memory runs out, or when a primitive node is given a length without value bytes.
TLV* TLV_create(std::uint8_t tag, std::uint32_t length, const std::uint8_t* value);
// Takes ownership of child on success; returns parent, or nullptr (child untouched) when the
// parent is primitive.
TLV* TLV_addChild(TLV* parent, TLV* child);
int TLV_isCdo(const TLV* node);
std::uint32_t TLVBERLength(const TLV* node);
// Encodes the tree into out; returns bytes written, 0 when it does not fit in outSize or a node
// cannot be encoded (length above 0xFFFF, or a length that disagrees with its content).
std::uint32_t TLV2BER(const TLV* root, std::uint8_t* out, std::uint32_t outSize);
// Writes the length field (out needs room for 3 bytes); returns its size, 0 above 0xFFFF.
int TLVLength2BERLength(const TLV* node, std::uint8_t* out);

// What the checks return for an object that is malformed or incomplete.
inline constexpr int BER_INVALID = -1;

int BER_checkTag(const std::uint8_t* buf, std::uint32_t size);
// Size of the length field, or -1; rejects the indefinite form 0x80 and forms 0x83 and above.
int BER_checkLength(const std::uint8_t* buf, std::uint32_t size, std::uint32_t* length);
// Encoded size of the first object in buf, or BER_INVALID when it is malformed or incomplete.
int BER_check(const std::uint8_t* buf, std::uint32_t size);
// Decodes the first object; never reads past `size`. nullptr when it cannot be decoded (multi-byte
// tag, bad length field, object beyond the buffer, no memory). A child that would overrun its
// parent ends the parent's children; the ones before it are kept.
TLV* BER2TLV(const std::uint8_t* buf, std::uint32_t size);
void TLV_free(TLV** root);

} // namespace tarq
