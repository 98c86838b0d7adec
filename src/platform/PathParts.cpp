#include "platform/PathParts.h"

#include "platform/TextConversion.h"

#include <stdlib.h>

namespace {

// Buffer sizes of the secure split and build, terminators included.
constexpr size_t kDriveBuffer = 3;
constexpr size_t kPartBuffer = 256;
constexpr size_t kPathBuffer = 260;

const wchar_t* PartOrNull(const std::wstring& part)
{
    return part.empty() ? nullptr : part.c_str();
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The runtime rejects a part that does not fit its buffer through its
// invalid-parameter handler, which on Windows may end the process; a handler
// set from this program does not reach the runtime DLL. So every length is
// checked here, by the rules the runtime itself splits and builds by, and the
// runtime is called only with parts that fit.
bool SplitFits(const std::wstring& path)
{
    size_t start = path.size() >= 2 && path[1] == L':' ? 2 : 0;
    size_t dirEnd = start;
    for (size_t i = start; i < path.size(); ++i) {
        if (IsSeparator(path[i]))
            dirEnd = i + 1;
    }
    size_t extStart = path.size();
    for (size_t i = dirEnd; i < path.size(); ++i) {
        if (path[i] == L'.')
            extStart = i;
    }
    return dirEnd - start < kPartBuffer && extStart - dirEnd < kPartBuffer && path.size() - extStart < kPartBuffer;
}

size_t ComposedLength(const std::wstring& drive, const std::wstring& dir, const std::wstring& fname,
                      const std::wstring& ext)
{
    size_t length = drive.empty() ? 0 : 2; // the drive letter and a colon
    length += dir.size();
    if (!dir.empty() && !IsSeparator(dir.back()))
        ++length;
    length += fname.size();
    if (!ext.empty())
        length += ext.size() + (ext[0] == L'.' ? 0 : 1);
    return length;
}

} // namespace

void CPathParts::SetFullPath(const std::string& text)
{
    fullPath = AnsiToWide(text);
}

void CPathParts::Split()
{
    if (fullPath.empty())
        return;
    wchar_t driveBuffer[kDriveBuffer] = {};
    wchar_t dirBuffer[kPartBuffer] = {};
    wchar_t nameBuffer[kPartBuffer] = {};
    wchar_t extBuffer[kPartBuffer] = {};
    if (!SplitFits(fullPath) || _wsplitpath_s(fullPath.c_str(), driveBuffer, kDriveBuffer, dirBuffer, kPartBuffer,
                                              nameBuffer, kPartBuffer, extBuffer, kPartBuffer) != 0) {
        drive.clear();
        dir.clear();
        fname.clear();
        ext.clear();
        return;
    }
    drive = driveBuffer;
    dir = dirBuffer;
    fname = nameBuffer;
    ext = extBuffer;
}

void CPathParts::Compose()
{
    wchar_t buffer[kPathBuffer] = {};
    if (ComposedLength(drive, dir, fname, ext) >= kPathBuffer ||
        _wmakepath_s(buffer, kPathBuffer, PartOrNull(drive), PartOrNull(dir), PartOrNull(fname), PartOrNull(ext)) !=
            0) {
        fullPath.clear();
        return;
    }
    fullPath = buffer;
}
