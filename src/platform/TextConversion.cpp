#include "platform/TextConversion.h"

#include <array>
#include <sstream>

namespace {

std::wstring MultiByteToWide(UINT codePage, const std::string& text)
{
    const int needed = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (needed == 0)
        return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(needed));
    if (MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), needed) == 0)
        return std::wstring();
    return std::wstring(buffer.data());
}

std::string WideToMultiByte(UINT codePage, const std::wstring& text)
{
    // No best-fit mapping: "café" must not become "cafe", another name of
    // another file; a character the code page lacks becomes its default one.
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int needed = WideCharToMultiByte(codePage, flags, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed == 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(needed));
    if (WideCharToMultiByte(codePage, flags, text.c_str(), -1, buffer.data(), needed, nullptr, nullptr) == 0)
        return std::string();
    return std::string(buffer.data());
}

std::array<uint64_t, 256> BuildCrc64Table()
{
    const uint64_t polynomial = 0xC96C5795D7870F42ULL;
    std::array<uint64_t, 256> table{};
    for (uint64_t i = 0; i < 256; ++i) {
        uint64_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ polynomial : value >> 1;
        table[i] = value;
    }
    return table;
}

} // namespace

std::wstring AnsiToWide(const std::string& text)
{
    return MultiByteToWide(CP_ACP, text);
}

std::string WideToAnsi(const std::wstring& text)
{
    return WideToMultiByte(CP_ACP, text);
}

std::string WideToUtf8(const std::wstring& text)
{
    return WideToMultiByte(CP_UTF8, text);
}

std::wstring Utf8ToWide(const std::string& text)
{
    return MultiByteToWide(CP_UTF8, text);
}

std::string ToLogText(const std::wstring& text)
{
    return WideToMultiByte(1251, text);
}

std::wstring GetSystemErrorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (buffer != nullptr) {
        text.assign(buffer, length);
        LocalFree(buffer);
    }
    return text;
}

size_t HexToBytes(const std::string& text, unsigned char* out)
{
    std::istringstream stream;
    stream >> std::hex;
    size_t written = 0;
    for (size_t i = 0; i < text.size(); i += 2) {
        stream.clear();
        stream.str(text.substr(i, 2));
        unsigned int value = 0;
        stream >> value;
        out[written++] = static_cast<unsigned char>(value & 0xFF);
    }
    return written;
}

uint64_t Crc64(const std::string& text)
{
    // Built on first use; the only user is start-up argument parsing on the first thread.
    static const std::array<uint64_t, 256> table = BuildCrc64Table();
    uint64_t value = ~0ULL;
    for (unsigned char byte : text)
        value = table[(value ^ byte) & 0xFF] ^ (value >> 8);
    return value;
}

std::vector<std::string> SplitString(const std::string& text, const std::string& separator)
{
    std::vector<std::string> parts;
    size_t position = 0;
    while (position <= text.size()) {
        size_t match = separator.empty() ? std::string::npos : text.find(separator, position);
        if (match == std::string::npos)
            match = text.size();
        parts.push_back(text.substr(position, match - position));
        position = match + (separator.empty() ? 1 : separator.size());
    }
    return parts;
}
