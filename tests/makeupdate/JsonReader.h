#pragma once
// A strict JSON reader for the tool's --json output: it refuses what JSON
// does not allow (a trailing comma, a raw control character in a string, bad
// UTF-8, text after the document), so a malformed document fails the test
// that reads it.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CJson
{
    enum eType
    {
        eNull,
        eBool,
        eNumber,
        eString,
        eArray,
        eObject,
    };
    eType type = eNull;
    bool boolean = false;
    std::string number; // the number's text as written
    std::wstring text;  // a string, \u escapes resolved (a lone surrogate kept as it is)
    std::vector<CJson> elements;
    std::vector<std::pair<std::wstring, CJson>> members; // in the document's order

    // The member of that name, or a null value when there is none.
    const CJson& operator[](const std::wstring& name) const;
    // The element at index, or a null value past the end.
    const CJson& operator[](size_t index) const;
    bool Has(const std::wstring& name) const;
    // A number that is a non-negative integer; UINT64_MAX otherwise.
    uint64_t Integer() const;
    std::vector<std::wstring> MemberNames() const;
};

// Parses one whole document of UTF-8 bytes. False with the reason and its
// byte offset in error.
bool ParseJson(const std::string& bytes, CJson* value, std::string* error);
