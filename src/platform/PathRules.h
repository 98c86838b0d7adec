#pragma once
// The rules a name from a manifest passes before any path is built from it,
// and how such paths are compared: as the file system resolves them (letter
// case as it compares names, short 8.3 names resolved to long ones, trailing
// dots and blanks dropped), never only as text.
#include <windows.h>

#include <map>
#include <string>

// True when name, appended to a folder, names something inside it: not empty,
// no leading separator, no drive or stream (":"), no ".." component (trailing
// dots and blanks dropped as Windows drops them, so ". ." is ".." too);
// "\" and "/" both separate.
bool StaysInside(const std::wstring& name);

// True when a component of name is a device name (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, CONIN$, CONOUT$), with any extension, in any letter
// case, with trailing dots or blanks: opening such a name opens the device.
bool NamesDevice(const std::wstring& name);

// The text in upper case as the file system compares names without regard to
// letter case.
std::wstring ComparableText(const std::wstring& text);

// A full path with the short (8.3) names among its existing components
// replaced by their long names; unchanged when none looks like one (only a
// name with "~" can be a short name the system made), or when it cannot be
// resolved.
std::wstring LongPathOf(const std::wstring& path);

// The full path as the file system resolves it, comparable as text
// (ComparableText of LongPathOf of the full path).
std::wstring ComparablePath(const std::wstring& path);

// The folder (full, with a trailing backslash) where a name appended to
// folder lands: names are joined by plain concatenation, so "C:\\upd" puts
// "a.dll" in "C:\\" as "upda.dll", and "sub\\..\\x\\" in "x\\".
std::wstring FolderNamesLandIn(const std::wstring& folder);

// True when path lies below folder (a folder path with a trailing backslash),
// without regard to letter case: a file in it or in a subfolder of it.
bool IsBelow(const std::wstring& path, const std::wstring& folder);

// What stands at a path below a folder the run works in.
enum ePathCheck
{
    ePathPlain = 0,     // plain folders down to the name, which is a plain file or absent
    ePathThroughLink,   // a folder on the way, or the name itself, is a link (symbolic link, junction, mount point)
    ePathThroughFile,   // a name on the way that must be a folder is a file
    ePathIsFolder,      // the name itself is a folder
};

// True when a name whose attributes are given is a link to elsewhere: a
// reparse point that stands for another name (symbolic link, junction, mount
// point). A reparse point of another kind (a deduplicated or cloud file) is
// a plain file to whoever opens it.
bool IsLinkAt(const std::wstring& path, DWORD attributes);

// The attributes of names, answered from one listing per folder. Looking up
// a name that does not exist costs a scan of its whole folder under Wine (names
// are matched regardless of case), once per new file in a folder of hundreds
// of files; one listing per folder answers the same. A name the listing does
// not hold is certain to be absent, except one with "~" (it may be a short
// name), which is asked with a real call, as is every name in a folder that
// cannot be listed.
class CFolderListing
{
public:
    // INVALID_FILE_ATTRIBUTES when path does not exist.
    DWORD Attributes(const std::wstring& path);
    // path with its last name as the folder lists it (its letter case on the
    // disk); path itself when the listing does not hold it.
    std::wstring AsListed(const std::wstring& path);

private:
    struct Entry
    {
        DWORD attributes = 0;
        std::wstring name; // as listed
    };
    struct Folder
    {
        bool listed = false;
        std::map<std::wstring, Entry> names; // comparable name -> what the listing says
    };
    Folder& Listing(const std::wstring& folderPath);
    // The listing's entry for path's last name; listed: its folder was listed.
    const Entry* Find(const std::wstring& path, bool* listed);
    std::map<std::wstring, Folder> m_folders;
};

// Checks every component of path below root (a folder path with a trailing
// backslash; path a full path below it), the last one too. The first that
// is not plain is named in where. Components that do not exist end the walk:
// nothing on the way below them can be a link.
class CPathChecker
{
public:
    // listed: names answered from folder listings made once (see
    // CFolderListing); otherwise each is asked of the system at the moment.
    explicit CPathChecker(bool listed) : m_listed(listed) {}
    ePathCheck Check(const std::wstring& root, const std::wstring& path, std::wstring* where);

private:
    DWORD AttributesOf(const std::wstring& path);
    bool m_listed;
    CFolderListing m_listing;
    // Folders already found plain, by their comparable path.
    std::map<std::wstring, bool> m_plainFolders;
};
