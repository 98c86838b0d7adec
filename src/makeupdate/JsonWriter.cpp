#include "makeupdate/JsonWriter.h"

namespace {

bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendEscape(std::wstring* text, wchar_t c)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    const unsigned value = static_cast<unsigned>(c) & 0xFFFF;
    *text += L"\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        text->push_back(digits[(value >> shift) & 15]);
}

} // namespace

std::wstring JsonString(const std::wstring& value)
{
    std::wstring text = L"\"";
    for (size_t i = 0; i < value.size(); ++i) {
        const wchar_t c = value[i];
        switch (c) {
        case L'"':
            text += L"\\\"";
            continue;
        case L'\\':
            text += L"\\\\";
            continue;
        case L'\b':
            text += L"\\b";
            continue;
        case L'\f':
            text += L"\\f";
            continue;
        case L'\n':
            text += L"\\n";
            continue;
        case L'\r':
            text += L"\\r";
            continue;
        case L'\t':
            text += L"\\t";
            continue;
        default:
            break;
        }
        if (c < 0x20) {
            AppendEscape(&text, c);
        } else if (IsHighSurrogate(c) && i + 1 < value.size() && IsLowSurrogate(value[i + 1])) {
            text.push_back(c);
            text.push_back(value[++i]);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendEscape(&text, c);
        } else {
            text.push_back(c);
        }
    }
    text.push_back(L'"');
    return text;
}

void CJsonWriter::BeforeValue()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_filled.empty()) {
        if (m_filled.back())
            m_text.push_back(L',');
        m_filled.back() = true;
    }
}

void CJsonWriter::BeginObject()
{
    BeforeValue();
    m_text.push_back(L'{');
    m_filled.push_back(false);
}

void CJsonWriter::EndObject()
{
    m_text.push_back(L'}');
    m_filled.pop_back();
}

void CJsonWriter::BeginArray()
{
    BeforeValue();
    m_text.push_back(L'[');
    m_filled.push_back(false);
}

void CJsonWriter::EndArray()
{
    m_text.push_back(L']');
    m_filled.pop_back();
}

void CJsonWriter::Key(const std::wstring& name)
{
    BeforeValue();
    m_text += JsonString(name);
    m_text.push_back(L':');
    m_afterKey = true;
}

void CJsonWriter::String(const std::wstring& value)
{
    BeforeValue();
    m_text += JsonString(value);
}

void CJsonWriter::Number(uint64_t value)
{
    BeforeValue();
    m_text += std::to_wstring(value);
}

void CJsonWriter::Bool(bool value)
{
    BeforeValue();
    m_text += value ? L"true" : L"false";
}

void CJsonWriter::Null()
{
    BeforeValue();
    m_text += L"null";
}

std::wstring JsonErrorDocument(const std::wstring& command, const std::wstring& error, int exitCode)
{
    CJsonWriter json;
    json.BeginObject();
    json.Key(L"command");
    if (command.empty())
        json.Null();
    else
        json.String(command);
    json.Key(L"error");
    json.String(error);
    json.Key(L"exitCode");
    json.Number(static_cast<uint64_t>(exitCode));
    json.EndObject();
    return json.Text();
}
