#include "platform/PathParts.h"

#include "platform/TextConversion.h"

#include <stdlib.h>

namespace {

void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}

// The secure path functions report an overlong part through the runtime's
// invalid-parameter handler, which may end the process; a no-op handler turns
// that into a plain error result for the duration of one call.
class CQuietInvalidParameter
{
public:
    CQuietInvalidParameter() : m_previous(_set_invalid_parameter_handler(IgnoreInvalidParameter)) {}
    ~CQuietInvalidParameter() { _set_invalid_parameter_handler(m_previous); }
    CQuietInvalidParameter(const CQuietInvalidParameter&) = delete;
    CQuietInvalidParameter& operator=(const CQuietInvalidParameter&) = delete;

private:
    _invalid_parameter_handler m_previous;
};

const wchar_t* PartOrNull(const std::wstring& part)
{
    return part.empty() ? nullptr : part.c_str();
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
    wchar_t driveBuffer[3] = {};
    wchar_t dirBuffer[256] = {};
    wchar_t nameBuffer[256] = {};
    wchar_t extBuffer[256] = {};
    errno_t result;
    {
        CQuietInvalidParameter quiet;
        result = _wsplitpath_s(fullPath.c_str(), driveBuffer, 3, dirBuffer, 256, nameBuffer, 256, extBuffer, 256);
    }
    if (result != 0) {
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
    wchar_t buffer[260] = {};
    errno_t result;
    {
        CQuietInvalidParameter quiet;
        result = _wmakepath_s(buffer, 260, PartOrNull(drive), PartOrNull(dir), PartOrNull(fname), PartOrNull(ext));
    }
    if (result != 0) {
        fullPath.clear();
        return;
    }
    fullPath = buffer;
}
