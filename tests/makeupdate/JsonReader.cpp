#include "makeupdate/JsonReader.h"

namespace {

const CJson kNull;

class CParser
{
public:
    explicit CParser(const std::string& bytes) : m_bytes(bytes) {}

    bool Document(CJson* value, std::string* error)
    {
        SkipBlanks();
        if (!Value(value, 0))
            return Fail(error);
        SkipBlanks();
        if (m_at != m_bytes.size()) {
            m_error = "text after the document";
            return Fail(error);
        }
        return true;
    }

private:
    bool Fail(std::string* error)
    {
        *error = m_error + " at offset " + std::to_string(m_at);
        return false;
    }

    bool Error(const char* what)
    {
        m_error = what;
        return false;
    }

    void SkipBlanks()
    {
        while (m_at < m_bytes.size() &&
               (m_bytes[m_at] == ' ' || m_bytes[m_at] == '\t' || m_bytes[m_at] == '\n' || m_bytes[m_at] == '\r'))
            ++m_at;
    }

    bool Literal(const char* word)
    {
        const std::string text = word;
        if (m_bytes.compare(m_at, text.size(), text) != 0)
            return Error("unknown literal");
        m_at += text.size();
        return true;
    }

    bool Value(CJson* value, int depth)
    {
        if (depth > 64)
            return Error("nested too deeply");
        if (m_at >= m_bytes.size())
            return Error("value expected");
        const char c = m_bytes[m_at];
        if (c == '{')
            return Object(value, depth);
        if (c == '[')
            return Array(value, depth);
        if (c == '"') {
            value->type = CJson::eString;
            return String(&value->text);
        }
        if (c == 't' || c == 'f') {
            value->type = CJson::eBool;
            value->boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            value->type = CJson::eNull;
            return Literal("null");
        }
        value->type = CJson::eNumber;
        return Number(&value->number);
    }

    bool Object(CJson* value, int depth)
    {
        value->type = CJson::eObject;
        ++m_at; // {
        SkipBlanks();
        if (m_at < m_bytes.size() && m_bytes[m_at] == '}') {
            ++m_at;
            return true;
        }
        for (;;) {
            SkipBlanks();
            if (m_at >= m_bytes.size() || m_bytes[m_at] != '"')
                return Error("member name expected");
            std::pair<std::wstring, CJson> member;
            if (!String(&member.first))
                return false;
            SkipBlanks();
            if (m_at >= m_bytes.size() || m_bytes[m_at] != ':')
                return Error("':' expected");
            ++m_at;
            SkipBlanks();
            if (!Value(&member.second, depth + 1))
                return false;
            value->members.push_back(member);
            SkipBlanks();
            if (m_at < m_bytes.size() && m_bytes[m_at] == ',') {
                ++m_at;
                continue;
            }
            if (m_at < m_bytes.size() && m_bytes[m_at] == '}') {
                ++m_at;
                return true;
            }
            return Error("',' or '}' expected");
        }
    }

    bool Array(CJson* value, int depth)
    {
        value->type = CJson::eArray;
        ++m_at; // [
        SkipBlanks();
        if (m_at < m_bytes.size() && m_bytes[m_at] == ']') {
            ++m_at;
            return true;
        }
        for (;;) {
            SkipBlanks();
            CJson element;
            if (!Value(&element, depth + 1))
                return false;
            value->elements.push_back(element);
            SkipBlanks();
            if (m_at < m_bytes.size() && m_bytes[m_at] == ',') {
                ++m_at;
                continue;
            }
            if (m_at < m_bytes.size() && m_bytes[m_at] == ']') {
                ++m_at;
                return true;
            }
            return Error("',' or ']' expected");
        }
    }

    bool Digits()
    {
        const size_t start = m_at;
        while (m_at < m_bytes.size() && m_bytes[m_at] >= '0' && m_bytes[m_at] <= '9')
            ++m_at;
        return m_at > start || Error("digit expected");
    }

    bool Number(std::string* text)
    {
        const size_t start = m_at;
        if (m_bytes[m_at] == '-')
            ++m_at;
        if (m_at < m_bytes.size() && m_bytes[m_at] == '0')
            ++m_at; // no leading zeros
        else if (!Digits())
            return false;
        if (m_at < m_bytes.size() && m_bytes[m_at] == '.') {
            ++m_at;
            if (!Digits())
                return false;
        }
        if (m_at < m_bytes.size() && (m_bytes[m_at] == 'e' || m_bytes[m_at] == 'E')) {
            ++m_at;
            if (m_at < m_bytes.size() && (m_bytes[m_at] == '+' || m_bytes[m_at] == '-'))
                ++m_at;
            if (!Digits())
                return false;
        }
        *text = m_bytes.substr(start, m_at - start);
        return true;
    }

    bool Hex4(unsigned* unit)
    {
        if (m_at + 4 > m_bytes.size())
            return Error("four hexadecimal digits expected");
        *unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_bytes[m_at++];
            unsigned digit = 0;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = static_cast<unsigned>(c - 'A' + 10);
            else
                return Error("four hexadecimal digits expected");
            *unit = *unit * 16 + digit;
        }
        return true;
    }

    // One UTF-8 sequence, well formed (no overlong form, no surrogate, not
    // past U+10FFFF), appended as UTF-16.
    bool Utf8(std::wstring* text)
    {
        const unsigned char lead = static_cast<unsigned char>(m_bytes[m_at]);
        int more = 0;
        unsigned code = 0;
        unsigned least = 0;
        if (lead >= 0xC0 && lead < 0xE0) {
            more = 1;
            code = lead & 0x1F;
            least = 0x80;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            more = 2;
            code = lead & 0x0F;
            least = 0x800;
        } else if (lead >= 0xF0 && lead < 0xF8) {
            more = 3;
            code = lead & 0x07;
            least = 0x10000;
        } else {
            return Error("bad UTF-8");
        }
        ++m_at;
        for (int i = 0; i < more; ++i, ++m_at) {
            if (m_at >= m_bytes.size() || (static_cast<unsigned char>(m_bytes[m_at]) & 0xC0) != 0x80)
                return Error("bad UTF-8");
            code = (code << 6) | (static_cast<unsigned char>(m_bytes[m_at]) & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return Error("bad UTF-8");
        if (code >= 0x10000) {
            code -= 0x10000;
            text->push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            text->push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            text->push_back(static_cast<wchar_t>(code));
        }
        return true;
    }

    bool String(std::wstring* text)
    {
        ++m_at; // "
        for (;;) {
            if (m_at >= m_bytes.size())
                return Error("unterminated string");
            const unsigned char c = static_cast<unsigned char>(m_bytes[m_at]);
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c < 0x20)
                return Error("raw control character in a string");
            if (c >= 0x80) {
                if (!Utf8(text))
                    return false;
                continue;
            }
            ++m_at;
            if (c != '\\') {
                text->push_back(static_cast<wchar_t>(c));
                continue;
            }
            if (m_at >= m_bytes.size())
                return Error("unterminated string");
            const char escape = m_bytes[m_at++];
            switch (escape) {
            case '"':
            case '\\':
            case '/':
                text->push_back(static_cast<wchar_t>(escape));
                break;
            case 'b':
                text->push_back(L'\b');
                break;
            case 'f':
                text->push_back(L'\f');
                break;
            case 'n':
                text->push_back(L'\n');
                break;
            case 'r':
                text->push_back(L'\r');
                break;
            case 't':
                text->push_back(L'\t');
                break;
            case 'u': {
                unsigned unit = 0;
                if (!Hex4(&unit))
                    return false;
                text->push_back(static_cast<wchar_t>(unit));
                break;
            }
            default:
                return Error("unknown escape");
            }
        }
    }

    const std::string& m_bytes;
    size_t m_at = 0;
    std::string m_error;
};

} // namespace

const CJson& CJson::operator[](const std::wstring& name) const
{
    for (const auto& member : members) {
        if (member.first == name)
            return member.second;
    }
    return kNull;
}

const CJson& CJson::operator[](size_t index) const
{
    return index < elements.size() ? elements[index] : kNull;
}

bool CJson::Has(const std::wstring& name) const
{
    for (const auto& member : members) {
        if (member.first == name)
            return true;
    }
    return false;
}

uint64_t CJson::Integer() const
{
    if (type != eNumber || number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return UINT64_MAX;
    uint64_t integer = 0;
    for (char c : number) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (integer > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        integer = integer * 10 + digit;
    }
    return integer;
}

std::vector<std::wstring> CJson::MemberNames() const
{
    std::vector<std::wstring> names;
    for (const auto& member : members)
        names.push_back(member.first);
    return names;
}

bool ParseJson(const std::string& bytes, CJson* value, std::string* error)
{
    *value = CJson();
    return CParser(bytes).Document(value, error);
}
