// A message of the terminal protocol as one readable line: tag names, texts, the payment
// record's fields, other values in hex. For logs and traces of any program.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tarq {

struct DescribeOptions {
    // The card element (track 2) shown with every digit but the card number's first six and
    // last four replaced by '*'. The card record's card fields are never shown.
    bool maskCardData = false;
};

// "02 1F A0": bytes in hex, one space apart.
std::string hexBytes(std::span<const std::uint8_t> bytes);

// The name of a message tag; PTAG_VER_SIG reads differently coming from the ECR.
const char* tagName(std::uint8_t tag, bool fromTerminal);

// A whole BER-TLV message, e.g. `E1 MESSAGE { C7 PTAG_STATUS1 "BELØP" }`. An empty message
// reads "(keep-alive)", bytes that are no BER-TLV object "(not a BER-TLV object)".
std::string describeMessage(std::span<const std::uint8_t> bytes, DescribeOptions options = {});

} // namespace tarq
