// What the commands of the test DDE client share: its output lines, the
// decoding of its arguments and the message pump.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace ddeclient {

// One output line, flushed at once: the tests read the output as it grows.
void Out(const std::string& line);

std::string Hex(const void* data, std::size_t n);
// A name in an output line: blanks and backslashes escaped, so that every
// line splits into words.
std::string Word(const std::string& s);
std::string HexWord(unsigned v);
// The wall clock as Unix milliseconds, for the "t=" fields.
std::string TimeText();

// Escapes of an argument undone; the result stays UTF-8.
std::string DecodeName(const std::string& arg);
// A TEXT argument as the bytes to send: "hex:..." as given, otherwise in
// the ANSI code page, or as UTF-16LE with `unicode`. No NUL is added.
std::string DecodeText(const std::string& arg, bool unicode = false);

void Pump();
void PumpFor(DWORD ms);

}  // namespace ddeclient
