#pragma once
// A JSON document written piece by piece, for the tool's --json output:
// commas and nesting are the writer's business, the caller states keys and
// values in order. Text is kept as characters (the document goes out as
// UTF-8); only what JSON requires is escaped, and a lone UTF-16 surrogate,
// which no UTF-8 can carry, is written as its \u escape.
#include <cstdint>
#include <string>
#include <vector>

class CJsonWriter
{
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next member of the current object.
    void Key(const std::wstring& name);
    void String(const std::wstring& value);
    void Number(uint64_t value);
    void Bool(bool value);
    void Null();

    // The document so far: complete once every object and array is ended.
    const std::wstring& Text() const { return m_text; }

private:
    void BeforeValue();

    std::wstring m_text;
    // Per open object or array: whether it holds a member or element yet.
    std::vector<bool> m_filled;
    bool m_afterKey = false;
};

// value as a JSON string literal, quotes included.
std::wstring JsonString(const std::wstring& value);

// The document an error gets with --json: {"command": ..., "error": ...,
// "exitCode": ...}; command null when none was recognised.
std::wstring JsonErrorDocument(const std::wstring& command, const std::wstring& error, int exitCode);
