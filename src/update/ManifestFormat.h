#pragma once
// The update manifest as both of its sides see it: the element and attribute
// names, which item elements count, where an item's download lies and what
// counts as an MD5 digest. The engine reads manifests with these, and the
// publishing tool writes and checks them with the same, so the two cannot
// drift apart. Nothing here logs.
#include <pugixml.hpp>

#include <string>
#include <vector>

namespace ManifestNames {

inline constexpr wchar_t kUpdate[] = L"update";
inline constexpr wchar_t kInfo[] = L"info";
inline constexpr wchar_t kFiles[] = L"files";

// Attributes of info.
inline constexpr wchar_t kUpdateFolder[] = L"UpdateFolder";
inline constexpr wchar_t kTargetFolder[] = L"TargetFolder";
inline constexpr wchar_t kKey[] = L"Key";
inline constexpr wchar_t kXKey[] = L"xKey";
inline constexpr wchar_t kAssignedVersion[] = L"AssignedVersion";
inline constexpr wchar_t kForceUpdateDate[] = L"ForceUpdateDate";
inline constexpr wchar_t kPerformDbBackup[] = L"PerformDbBackup";
inline constexpr wchar_t kRestartQuoteBench[] = L"RestartQuoteBench";
inline constexpr wchar_t kAppToRun[] = L"AppToRun";
inline constexpr wchar_t kParams[] = L"Params";

// Attributes of files.
inline constexpr wchar_t kCount[] = L"count";
inline constexpr wchar_t kFilesKey[] = L"Key";

// Attributes of each item element I0, I1, ...
inline constexpr wchar_t kFileName[] = L"FileName";
inline constexpr wchar_t kTempFileName[] = L"TempFileName";
inline constexpr wchar_t kMd5[] = L"MD5";
inline constexpr wchar_t kAttr[] = L"Attr";
inline constexpr wchar_t kSizeByte[] = L"SizeByte";
inline constexpr wchar_t kModified[] = L"Modified";
inline constexpr wchar_t kDownloadComplete[] = L"isDownloadCopmplete"; // spelled so in every manifest
inline constexpr wchar_t kIsUpdate[] = L"isUpdate";
// A file the new version no longer has: the run removes it (only for an item
// not marked isUpdate, so an engine that does not know the attribute skips it).
inline constexpr wchar_t kIsRemove[] = L"isRemove";

// Small downloads of an item, all optional and beside its whole file (an
// engine or downloader that knows nothing of them still uses FileName,
// SizeByte and MD5, which always describe the new file itself; a package
// made without whole files lacks only the download under FileName). Names
// are relative to the update folder, as FileName is; each MD5 is that of the
// download itself. See platform/FilePatch.h for the formats.
//   Patch*: zstd frames that rebuild the new file from exactly the installed
//   file of PatchBaseSizeByte bytes and MD5 PatchBaseMD5 (the old version).
//   Packed*: the new file compressed, zstd frames that need no other file.
inline constexpr wchar_t kPatchFile[] = L"PatchFile";
inline constexpr wchar_t kPatchSizeByte[] = L"PatchSizeByte";
inline constexpr wchar_t kPatchMd5[] = L"PatchMD5";
inline constexpr wchar_t kPatchBaseSizeByte[] = L"PatchBaseSizeByte";
inline constexpr wchar_t kPatchBaseMd5[] = L"PatchBaseMD5";
inline constexpr wchar_t kPackedFile[] = L"PackedFile";
inline constexpr wchar_t kPackedSizeByte[] = L"PackedSizeByte";
inline constexpr wchar_t kPackedMd5[] = L"PackedMD5";

// The base version an update is made from: an element of update beside files,
// <base Version="a.b.c.d" count="N"> (Version only when known), with one
// element <F FileName=".." SizeByte=".." MD5=".."/> per file the update does
// not install but relies on finding as it is (kFileName, kSizeByte, kMd5).
// Folders of the new version an update creates (isRemove="0": empty ones,
// which no file implies) and those it drops (isRemove="1"): an element of its
// own beside files, which an engine that knows nothing of it ignores.
//   <folders count="N"><D Name="x\y" isRemove="0"/></folders>
inline constexpr wchar_t kFolders[] = L"folders";
inline constexpr wchar_t kFolder[] = L"D";
inline constexpr wchar_t kFolderName[] = L"Name";
inline constexpr wchar_t kBase[] = L"base";
inline constexpr wchar_t kBaseVersion[] = L"Version";
inline constexpr wchar_t kBaseFile[] = L"F";

} // namespace ManifestNames

// "I" followed by the index in decimal: the name of item element index.
std::wstring ItemElementName(int index);

// The item elements I0 .. I(count-1) of files that exist, in index order, the
// first element of each name only; none when count is 0 or less.
std::vector<pugi::xml_node> ItemElements(const pugi::xml_node& files, int count);

// An attribute's text in the ANSI code page, as the engine holds every
// manifest text; empty when the attribute is absent.
std::string ManifestText(const pugi::xml_attribute& attribute);

// True when text is exactly 32 hexadecimal digits, in either case: only such
// an MD5 value is checked against the content; any other is kept as read.
bool IsMd5Digest(const std::string& text);

// Where an item's download lies: updateFolder + fileName when that is an
// existing file, else updateFolder + tempFileName when that is; empty when
// neither is. The folder is joined by plain concatenation; the names are
// used as the manifest gives them (UTF-16).
std::wstring FindDownloadW(const std::wstring& updateFolder, const std::wstring& fileName,
                           const std::wstring& tempFileName);

// True when both are digests and equal regardless of letter case.
bool SameMd5Digest(const std::string& a, const std::string& b);
