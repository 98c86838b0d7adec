#pragma once
// The version an update was made from. The publishing tool records, beside
// the items, every file of the new version that the update does not install
// (the new version relies on it being there as it is) with its size and MD5.
// An installation that is not that version would end up a mix of two
// versions, so the run refuses it before anything is touched. A manifest
// without the record is taken as it always was.
#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <vector>

struct CBaseFile
{
    std::wstring name; // relative to the application folder, as items' names are
    int64_t size = -1;
    std::string md5; // checked when it is a digest
};

struct CBaseRecord
{
    bool present = false;
    std::wstring version; // empty when the publisher gave none
    std::vector<CBaseFile> files;
};

// The base element of the manifest's update element.
CBaseRecord ReadBaseRecord(const pugi::xml_node& update);

// Compares the installed files with the record: logs one error line per file
// that differs (the first few; then one line with the count of the rest) and
// returns how many differ. Contents are read a block at a time.
size_t CheckBaseVersion(const std::wstring& folder, const CBaseRecord& record);
