// Windows-1252, the terminal's character set, as UTF-8. It lives here, the lowest layer that
// shows terminal texts (the readable message log); the Java bridge and the tools use it too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarq {

// Plain UTF-8, or the JVM's modified UTF-8, which writes the zero character as C0 80.
enum class Utf8Form { Standard, Modified };

// The Unicode character of a Windows-1252 byte; the five undefined bytes map to the C1
// controls of the same value, as Windows does.
char16_t cp1252ToUnicode(std::uint8_t byte);

// Appends one character of the Basic Multilingual Plane in the given form.
void appendUtf8(std::string& out, char16_t unit, Utf8Form form);

// Windows-1252 text, up to its first zero byte or its end, as UTF-8. Never fails.
std::string cp1252ToUtf8(std::string_view cp1252, Utf8Form form = Utf8Form::Standard);

} // namespace tarq
