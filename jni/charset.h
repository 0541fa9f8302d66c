// Character set conversions between the terminal's Windows-1252 bytes and the JVM's modified
// UTF-8. The terminal speaks Windows-1252 (Ø, Å, Æ arrive as single bytes); NewStringUTF and
// GetStringUTFChars speak modified UTF-8, which rejects or misreads such bytes.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tarq::javabridge {

// Windows-1252 text (up to its first zero byte or its end) as modified UTF-8. Never fails:
// the five undefined code points map to the C1 controls of the same value, as Windows does.
std::string cp1252ToModifiedUtf8(std::string_view cp1252);

// Modified UTF-8 (as GetStringUTFChars hands it out) as Windows-1252, writing at most
// dest.size() - 1 bytes and a terminator; characters without a Windows-1252 form become '?'.
// Returns the number of bytes written before the terminator. dest must not be empty.
std::size_t modifiedUtf8ToCp1252(std::string_view mutf8, std::span<char> dest);

// Modified UTF-8 as standard UTF-8 (supplementary characters joined from their surrogate
// pairs), for file paths. Returns false when the text holds an encoded zero character, which
// no path may contain.
bool modifiedUtf8ToUtf8(std::string_view mutf8, std::string& out);

} // namespace tarq::javabridge
