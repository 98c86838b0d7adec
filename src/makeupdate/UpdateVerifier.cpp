#include "makeupdate/UpdateVerifier.h"

#include "makeupdate/Console.h"
#include "makeupdate/FileContent.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/TextConversion.h"

#include <pugixml.hpp>

int CUpdateVerifier::Run(const std::wstring& manifest)
{
    using namespace ManifestNames;
    const DWORD attributes = GetFileAttributesW(manifest.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_ACCESS_DENIED;
        PrintError(L"cannot read the manifest " + manifest + L": " + ErrorText(error));
        return eExitUnusable;
    }
    // Parsed as the engine parses it: default options, encoding detected.
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_file(manifest.c_str());
    if (!parsed) {
        PrintError(L"cannot read the manifest " + manifest + L": " + AnsiToWide(parsed.description()) +
                   L" at offset " + std::to_wstring(parsed.offset));
        return eExitUnusable;
    }
    const pugi::xml_node update = document.child(kUpdate);
    const pugi::xml_node info = update.child(kInfo);
    const pugi::xml_node files = update.child(kFiles);
    // The engine refuses a manifest without either element as a whole.
    if (!info || !files) {
        PrintError(L"not an update manifest (no " + std::wstring(!update ? kUpdate : !info ? kInfo : kFiles) +
                   L" element): " + manifest);
        return eExitUnusable;
    }

    // Names as the manifest gives them, as the engine uses them.
    const std::wstring updateFolder = info.attribute(kUpdateFolder).as_string();
    size_t checked = 0;
    size_t problems = 0;
    auto problem = [&problems](const std::wstring& line) {
        PrintError(line);
        ++problems;
    };
    for (const pugi::xml_node& element : ItemElements(files, files.attribute(kCount).as_int())) {
        if (!element.attribute(kIsUpdate).as_bool())
            continue;
        ++checked;
        const std::wstring fileName = element.attribute(kFileName).as_string();
        // The engine refuses such an item: its write could never complete.
        const int64_t declared = element.attribute(kSizeByte).as_llong();
        if (declared >= (1LL << 32)) {
            problem(L"4 GiB or more, the engine refuses it: " + updateFolder + fileName);
            continue;
        }
        const std::wstring path = FindDownloadW(updateFolder, fileName, element.attribute(kTempFileName).as_string());
        if (path.empty()) {
            problem(L"missing download: " + updateFolder + fileName);
            continue;
        }
        const int64_t sizeBytes = element.attribute(kSizeByte).as_llong();
        const uint64_t size = GetFileSizeByName(path);
        if (size != static_cast<uint64_t>(sizeBytes)) {
            problem(L"wrong size: " + path + L" has " + std::to_wstring(size) + L" bytes, the manifest says " +
                    std::to_wstring(sizeBytes));
            continue;
        }
        // Read in full also without a digest to compare: the engine must be
        // able to read it.
        std::string digest;
        std::wstring failed;
        if (!DigestOfFile(path, &digest, &failed)) {
            problem(L"cannot read " + path + L": " + ErrorText(GetLastError()));
            continue;
        }
        const std::string md5 = ManifestText(element.attribute(kMd5));
        if (IsMd5Digest(md5) && !SameMd5Digest(digest, md5))
            problem(L"wrong MD5: " + path + L" has " + AnsiToWide(digest) + L", the manifest says " + AnsiToWide(md5));
    }
    PrintOut(Count(checked, L"download") + L" checked, " + Count(problems, L"problem") + L": " + manifest);
    return problems == 0 ? eExitDone : eExitProblems;
}
