#pragma once
// A path split into drive, folder, name and extension, and joined again.
// Split and Compose are explicit; nothing keeps the two sides in step.
#include <string>

class CPathParts
{
public:
    std::wstring drive;    // "C:"
    std::wstring dir;      // "\dir\", leading and trailing backslashes kept
    std::wstring fname;    // name without extension
    std::wstring ext;      // extension with its dot
    std::wstring fullPath;

    // fullPath := text converted from the ANSI code page.
    void SetFullPath(const std::string& text);
    // Fills the four parts from fullPath (nothing changes when it is empty).
    // A part beyond its limit (drive 2, others 255 characters) leaves all four
    // empty; limits are checked before the runtime is called, so an overlong
    // path never reaches its invalid-parameter handler.
    void Split();
    // fullPath := the four parts joined; empty when the result would exceed
    // 259 characters (checked the same way).
    void Compose();

    std::wstring GetDir() const { return dir; }
    std::wstring GetExt() const { return ext; }
    std::wstring GetFullPath() const { return fullPath; }
};
