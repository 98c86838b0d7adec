#include "makeupdate/Progress.h"

#include "makeupdate/Console.h"

namespace {

ULONGLONG TickNow(void*)
{
    return GetTickCount64();
}

void ShowOnConsole(void*, const std::wstring& line)
{
    ShowProgressLine(line);
}

void ClearOnConsole(void*)
{
    ClearProgressLine();
}

} // namespace

CProgress::CProgress()
    : m_output{TickNow, ShowOnConsole, ClearOnConsole, nullptr}, m_enabled(IsConsole(STD_ERROR_HANDLE))
{
}

CProgress::CProgress(const CProgressOutput& output) : m_output(output), m_enabled(true) {}

void CProgress::BeginFile(const wchar_t* verb, size_t index, size_t count, const std::wstring& name, uint64_t size)
{
    if (!m_enabled)
        return;
    if (!m_started) {
        m_started = true;
        m_start = m_output.now(m_output.context);
    }
    m_verb = verb;
    m_index = index;
    m_count = count;
    m_name = name;
    m_size = size;
    m_done = 0;
    Update();
}

void CProgress::Advance(uint64_t bytes)
{
    if (!m_enabled || !m_started)
        return;
    m_done += bytes;
    Update();
}

void CProgress::Finish()
{
    if (!m_enabled)
        return;
    if (m_shown)
        m_output.clear(m_output.context);
    m_shown = false;
    m_started = false;
}

void CProgress::Update()
{
    const ULONGLONG now = m_output.now(m_output.context);
    if (now - m_start < kFirstAfterMs || (m_shown && now - m_lastShown < kEveryMs))
        return;
    std::wstring line = m_verb + L" " + std::to_wstring(m_index) + L" of " + std::to_wstring(m_count) + L": " +
                        m_name + L", " + SizeText(m_done) + L" of " + SizeText(m_size);
    if (m_size != 0)
        line += L" (" + std::to_wstring(m_done >= m_size ? 100 : m_done * 100 / m_size) + L"%)";
    m_output.show(m_output.context, line);
    m_shown = true;
    m_lastShown = now;
}

std::wstring SizeText(uint64_t bytes)
{
    if (bytes < 1024)
        return Count(static_cast<size_t>(bytes), L"byte");
    static const wchar_t* const units[] = {L"KiB", L"MiB", L"GiB", L"TiB"};
    size_t unit = 0;
    uint64_t scale = 1024;
    while (unit + 1 < sizeof(units) / sizeof(units[0]) && bytes / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    const uint64_t tenths = bytes / scale * 10 + bytes % scale * 10 / scale;
    return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" " + units[unit];
}
