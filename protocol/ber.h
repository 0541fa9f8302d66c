// BER-TLV codec: one-byte tags, short and 0x81/0x82 long lengths.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tarq {

struct TLV {
    std::uint8_t tag = 0;
    // Primitive: value bytes. Constructed: total encoded size of the children
    // (or, for a decoded node, the length declared on the wire).
    std::uint32_t length = 0;
    std::uint32_t tlvs = 0;                      // number of children
    std::vector<std::uint8_t> value;             // primitive nodes with length > 0
    std::vector<std::unique_ptr<TLV>> children;  // constructed nodes, in message order
};

TLV* TLV_create(std::uint8_t tag, std::uint32_t length, const std::uint8_t* value);
// Takes ownership of child on success; returns parent, or nullptr (child untouched) when the
// parent is primitive.
TLV* TLV_addChild(TLV* parent, TLV* child);
int TLV_isCdo(const TLV* node);
std::uint32_t TLVBERLength(const TLV* node);
// Encodes the tree into out; returns bytes written, 0 when it does not fit in outSize.
std::uint32_t TLV2BER(const TLV* root, std::uint8_t* out, std::uint32_t outSize);
int TLVTag2BERTag(const TLV* node, std::uint8_t* out);
int TLVLength2BERLength(const TLV* node, std::uint8_t* out);

int BER_checkTag(const std::uint8_t* buf, std::uint32_t size);
int BER_checkLength(const std::uint8_t* buf, std::uint32_t size, std::uint32_t* length);
// Encoded size of the first object in buf, or -1 when it is malformed or incomplete.
int BER_check(const std::uint8_t* buf, std::uint32_t size);
// Decodes the first object; never reads past `size`. nullptr when it cannot be decoded.
TLV* BER2TLV(const std::uint8_t* buf, std::uint32_t size);
void TLV_free(TLV** root);

} // namespace tarq
