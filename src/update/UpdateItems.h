#pragma once
// The items of an update manifest: each file with what the manifest says of
// it and, once the run staged it, its new content held in its staged file;
// each folder the new version has or drops.
#include "update/StagedFile.h"

#include "platform/TextConversion.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A small download of an item beside its whole file: a patch against the
// installed version, or the new file compressed (see platform/FilePatch.h).
struct CSmallDownload
{
    std::wstring name; // relative to the update folder; empty: none
    int64_t size = -1;
    std::string md5; // of the download itself
    bool Named() const { return !name.empty(); }
};

// Where an item's new file comes from, chosen when the manifest is checked:
// the whole file when it is there, else the compressed file, else the patch
// when the installed file is the version it was made against.
enum eItemSource
{
    eFromWhole = 0,
    eFromPacked,
    eFromPatch,
};

// One file of the manifest.
class CUpdateFileItem
{
public:
    std::string fileName;
    std::string tempFileName;
    // The same names as the manifest gives them, in UTF-16: every Windows
    // call uses these, so a name is touched exactly as written on any ANSI
    // code page. Empty when the item was made from narrow text.
    std::wstring wideFileName;
    std::wstring wideTempFileName;
    std::wstring FileNameW() const { return wideFileName.empty() ? AnsiToWide(fileName) : wideFileName; }
    std::wstring TempFileNameW() const { return wideTempFileName.empty() ? AnsiToWide(tempFileName) : wideTempFileName; }
    std::string md5;
    uint32_t attributes = 128;
    int64_t sizeBytes = 0;
    int64_t modified = 0;
    bool downloadComplete = false;
    bool doUpdate = false;
    // The file is to be removed (isRemove, for an item not marked for update).
    bool doRemove = false;
    CSmallDownload packed;
    CSmallDownload patch;
    // The installed file the patch applies to.
    int64_t patchBaseSize = -1;
    std::string patchBaseMd5;
    eItemSource source = eFromWhole;
    // The new content, copied from the download into the run's folder and
    // checked; held without sharing until the swap gives it its name.
    CStagedFile staged;

    // The new content is at hand (staged).
    bool HasContent() const { return staged.IsStaged(); }
};

// The manifest's files, owned, in load order.
using CUpdateItems = std::vector<std::unique_ptr<CUpdateFileItem>>;

// A folder of the manifest: one the new version has (created when missing)
// or one it drops (removed once empty; in the swap when a new file takes its
// name, otherwise at the commit).
struct CUpdateFolderItem
{
    std::wstring name; // relative to the application folder
    bool remove = false;
};
