// A port over bytes in memory instead of a device: what the line brings is fed in, what the link
// writes is kept. A third backend beside the POSIX and Windows ones, for programs that drive the
// link without a line (the fuzz targets); it is linked instead of those, never beside them.
#pragma once

#include "link/prs232.h"

#include <cstdint>
#include <vector>

namespace tarq {

// An empty port; PRS232_Delete frees it.
PRS232_PORT* PRS232_CreateInMemory();
// Appends bytes for the link to read.
void PRS232_Feed(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n);
// Everything the link has written so far.
const std::vector<std::uint8_t>& PRS232_Written(const PRS232_PORT* port);

} // namespace tarq
