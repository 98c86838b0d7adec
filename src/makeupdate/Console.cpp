#include "makeupdate/Console.h"

#include "platform/TextConversion.h"

namespace {

// Characters of the progress line now on the console; 0 when none is shown.
size_t g_progressLength = 0;

HANDLE StandardHandle(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void WriteConsoleText(HANDLE console, const std::wstring& text)
{
    DWORD written = 0;
    WriteConsoleW(console, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void WriteLine(DWORD which, const std::wstring& text)
{
    ClearProgressLine();
    const HANDLE output = StandardHandle(which);
    if (output == nullptr)
        return;
    const std::wstring line = text + L"\r\n";
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleText(output, line);
        return;
    }
    const std::string bytes = WideToUtf8(line);
    DWORD written = 0;
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

bool IsConsole(DWORD which)
{
    const HANDLE handle = StandardHandle(which);
    DWORD mode = 0;
    return handle != nullptr && GetConsoleMode(handle, &mode) != FALSE;
}

void ShowProgressLine(const std::wstring& text)
{
    const HANDLE console = StandardHandle(STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO screen{};
    DWORD mode = 0;
    if (console == nullptr || !GetConsoleMode(console, &mode))
        return;
    // One column short of the width: a full row would wrap, and the carriage
    // return would then go back to the start of the second row only.
    size_t width = 79;
    if (GetConsoleScreenBufferInfo(console, &screen) && screen.dwSize.X > 1)
        width = static_cast<size_t>(screen.dwSize.X) - 1;
    std::wstring line = text.substr(0, width);
    const size_t length = line.size();
    // Blanks over what remains of a longer line before it.
    if (length < g_progressLength)
        line.append(g_progressLength - length, L' ');
    WriteConsoleText(console, L"\r" + line);
    g_progressLength = length;
}

void ClearProgressLine()
{
    if (g_progressLength == 0)
        return;
    const HANDLE console = StandardHandle(STD_ERROR_HANDLE);
    if (console != nullptr)
        WriteConsoleText(console, L"\r" + std::wstring(g_progressLength, L' ') + L"\r");
    g_progressLength = 0;
}

std::wstring OneLine(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c == L'\r' || c == L'\n' || c == L'\t')
            c = L' ';
    }
    return text;
}

std::wstring Count(size_t count, const std::wstring& noun)
{
    return std::to_wstring(count) + L" " + noun + (count == 1 ? L"" : L"s");
}

std::wstring ErrorText(DWORD code)
{
    std::wstring text = OneLine(GetSystemErrorText(code));
    while (!text.empty() && text.back() == L' ')
        text.pop_back();
    const std::wstring number = L"error " + std::to_wstring(code);
    return text.empty() ? number : text + L" (" + number + L")";
}
