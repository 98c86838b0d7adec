// The --json writer: every text comes back exactly through a strict reader,
// text outside ASCII stays as UTF-8 characters, and the structure is sound.
#include "makeupdate/JsonReader.h"

#include "makeupdate/JsonWriter.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const std::wstring& text)
{
    std::string hex;
    char unit[8];
    for (wchar_t c : text) {
        snprintf(unit, sizeof(unit), "%04x ", static_cast<unsigned>(c));
        hex += unit;
    }
    return hex;
}

} // namespace

TEST(JsonWriter, AnyText_ReadBackExactlyAsKeyAndValue)
{
    const struct
    {
        const char* what;
        std::wstring text;
    } cases[] = {
        {"empty", L""},
        {"quote and backslash", L"say \"hi\" \\ bye\\"},
        {"a Windows path", L"C:\\Program Files\\App\\"},
        {"named control characters", L"\b\f\n\r\t"},
        {"other control characters", L"\x01\x1f\x7f"},
        {"NUL inside", std::wstring(L"a\0b", 3)},
        {"Cyrillic and accents", L"Файл отчёта café"},
        {"a pair of surrogates", L"smile \xD83D\xDE00 end"},
        // Possible in a Windows file name; UTF-8 cannot carry it.
        {"a lone high surrogate", L"a\xD800z"},
        {"a lone low surrogate at the end", L"a\xDC00"},
        {"a pair in the wrong order", L"\xDE00\xD83D"},
        {"JSON's own characters", L"{}[],:/ true null 1e5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CJsonWriter writer;
        writer.BeginObject();
        writer.Key(c.text);
        writer.String(c.text);
        writer.EndObject();
        CJson document;
        std::string error;
        ASSERT_TRUE(ParseJson(WideToUtf8(writer.Text()), &document, &error)) << error;
        ASSERT_EQ(CJson::eObject, document.type);
        ASSERT_EQ(1u, document.members.size());
        EXPECT_EQ(Hex(c.text), Hex(document.members[0].first));
        EXPECT_EQ(CJson::eString, document.members[0].second.type);
        EXPECT_EQ(Hex(c.text), Hex(document.members[0].second.text));
    }
}

TEST(JsonWriter, Escapes_OnlyWhatJsonNeeds)
{
    const struct
    {
        std::wstring text;
        std::wstring literal;
    } cases[] = {
        {L"ключ", L"\"ключ\""}, // kept as characters, so UTF-8 in the output
        {L"\xD83D\xDE00", L"\"\xD83D\xDE00\""},
        {L"a\"b\\c/", L"\"a\\\"b\\\\c/\""},
        {L"\t\r\n", L"\"\\t\\r\\n\""},
        {L"\x01", L"\"\\u0001\""},
        {L"\x1f", L"\"\\u001f\""},
        {L"\xD800", L"\"\\ud800\""},
        {L"x\xDFFFy", L"\"x\\udfffy\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.literal, JsonString(c.text)) << Hex(c.text);
}

TEST(JsonWriter, Nesting_CommasOnlyBetweenMembersAndElements)
{
    CJsonWriter writer;
    writer.BeginObject();
    writer.Key(L"list");
    writer.BeginArray();
    writer.Number(0);
    writer.Number(18446744073709551615ULL);
    writer.Bool(true);
    writer.Null();
    writer.BeginObject();
    writer.Key(L"empty");
    writer.BeginArray();
    writer.EndArray();
    writer.EndObject();
    writer.BeginArray();
    writer.EndArray();
    writer.EndArray();
    writer.Key(L"none");
    writer.BeginObject();
    writer.EndObject();
    writer.Key(L"last");
    writer.Bool(false);
    writer.EndObject();
    EXPECT_EQ(L"{\"list\":[0,18446744073709551615,true,null,{\"empty\":[]},[]],\"none\":{},\"last\":false}",
              writer.Text());
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(WideToUtf8(writer.Text()), &document, &error)) << error;
    EXPECT_EQ(18446744073709551615ULL, document[L"list"][1].Integer());
    EXPECT_EQ(CJson::eArray, document[L"list"][4][L"empty"].type);
}

// The reader the tool's tests rely on refuses what JSON does not allow.
TEST(JsonReader, MalformedDocuments_Refused)
{
    const char* const cases[] = {
        "",
        "{\"a\":1,}",
        "[1,]",
        "{\"a\" 1}",
        "{'a':1}",
        "\"raw\ttab\"",
        "\"bad escape \\x\"",
        "\"\\u12\"",
        "\"unterminated",
        "01",
        "1.",
        "-",
        "tru",
        "{} {}",
        "\"\xC0\xAF\"",         // an overlong UTF-8 form
        "\"\xED\xA0\x80\"",     // an encoded surrogate
        "\"\xE2\x82\"",         // a cut sequence
    };
    for (const char* text : cases) {
        CJson document;
        std::string error;
        EXPECT_FALSE(ParseJson(text, &document, &error)) << text;
    }
    CJson document;
    std::string error;
    ASSERT_TRUE(ParseJson(" {\"a\" : [ 1 , -2.5e3 , \"\\u0041\\ud83d\\ude00\" ] } \r\n", &document, &error)) << error;
    EXPECT_EQ(L"A\xD83D\xDE00", document[L"a"][2].text);
    EXPECT_EQ("-2.5e3", document[L"a"][1].number);
}
