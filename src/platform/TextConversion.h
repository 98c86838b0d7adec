#pragma once
// Text tools shared by every subsystem: code-page conversions, system error
// texts, hexadecimal decoding, the keyword checksum and string splitting.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Narrow text in the ANSI code page (CP_ACP) <-> UTF-16. Conversion stops at the
// first NUL; a conversion that Windows refuses gives an empty string. Characters
// the ANSI code page lacks become its default character.
std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);

// UTF-16 <-> UTF-8, for text that leaves the system's own files (console
// output of the companion tools); the same stop at NUL and empty on refusal.
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

// The log file is one Windows-1251 text. Every wide string is converted here
// before it reaches the logging library, whose own conversion garbles
// non-ASCII text. Characters that 1251 lacks become its default character.
std::string ToLogText(const std::wstring& text);

// The system's message for a Windows error code in the user's language, as
// FormatMessageW gives it (trailing CR LF kept); empty when there is none.
std::wstring GetSystemErrorText(DWORD code);

// Decodes pairs of hexadecimal digits into out (the caller provides
// (text.size() + 1) / 2 bytes); a pair that holds no number gives 0.
// Returns the number of bytes written.
size_t HexToBytes(const std::string& text, unsigned char* out);

// CRC-64 with the reflected polynomial 0xC96C5795D7870F42, initial value all
// ones and no final inversion ("abc" gives 0xD327F6B5E5D889D8).
uint64_t Crc64(const std::string& text);

// Splits at every occurrence of separator; empty elements are kept.
std::vector<std::string> SplitString(const std::string& text, const std::string& separator);
