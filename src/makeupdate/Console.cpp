#include "makeupdate/Console.h"

#include "platform/TextConversion.h"

namespace {

void WriteLine(DWORD which, const std::wstring& text)
{
    const HANDLE output = GetStdHandle(which);
    if (output == nullptr || output == INVALID_HANDLE_VALUE)
        return;
    const std::wstring line = text + L"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const std::string bytes = WideToUtf8(line);
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

} // namespace

void PrintOut(const std::wstring& line)
{
    WriteLine(STD_OUTPUT_HANDLE, line);
}

void PrintError(const std::wstring& line)
{
    WriteLine(STD_ERROR_HANDLE, line);
}

std::wstring Count(size_t count, const std::wstring& noun)
{
    return std::to_wstring(count) + L" " + noun + (count == 1 ? L"" : L"s");
}

std::wstring ErrorText(DWORD code)
{
    std::wstring text = GetSystemErrorText(code);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    const std::wstring number = L"error " + std::to_wstring(code);
    return text.empty() ? number : text + L" (" + number + L")";
}
