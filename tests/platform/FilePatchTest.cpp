#include "platform/FilePatch.h"
#include "platform/FilePatchMaker.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/Md5.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <psapi.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string Md5Of(const std::string& content)
{
    CMd5 md5;
    EXPECT_TRUE(md5.Update(content.data(), content.size()));
    return md5.FinishHex();
}

// Bytes that look like a program: runs of a small alphabet with repeats, so
// that both compression and matching against an old version have work.
std::string ProgramLike(size_t size, uint32_t seed)
{
    std::string bytes;
    bytes.reserve(size);
    uint32_t state = seed * 2654435761u + 1;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    while (bytes.size() < size) {
        const uint32_t r = next();
        if (r % 4 == 0 && bytes.size() > 64) {
            const size_t length = std::min<size_t>(8 + r % 56, size - bytes.size());
            const size_t from = next() % (bytes.size() - length);
            bytes.append(bytes, from, length);
        } else {
            bytes.push_back(static_cast<char>("\x00\x48\x8b\xe8\x89\x0f\xff\x45"[r % 8] + (r >> 28)));
        }
    }
    return bytes;
}

// The old version with a few bytes changed, some inserted and some removed.
std::string Edited(std::string bytes)
{
    for (size_t at = 100; at < bytes.size(); at += bytes.size() / 7 + 1)
        bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
    if (bytes.size() > 1000) {
        bytes.insert(bytes.size() / 3, "inserted text of the new version");
        bytes.erase(bytes.size() / 2, 200);
    }
    return bytes;
}

CHandle OpenRead(const std::wstring& path)
{
    return CHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

CHandle CreateStaged(const std::wstring& path)
{
    return CHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

uint64_t SizeOf(const CHandle& file)
{
    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(file.Get(), &size));
    return static_cast<uint64_t>(size.QuadPart);
}

class FilePatchTest : public ::testing::Test
{
protected:
    // Makes the download (a patch of that kind when old is given, else a compressed file).
    std::string Make(const std::string* old, const std::string& content, uint64_t frameSize = 0,
                     CPackOptions::ePatchKind kind = CPackOptions::eSmallerPatch)
    {
        EXPECT_TRUE(WriteBytes(m_folder / L"new.bin", content));
        const std::wstring out = m_folder / L"download.bin";
        DeleteFileW(out.c_str());
        CPackOptions options;
        options.frameSize = frameSize;
        options.patchKind = kind;
        CPackedOutput written;
        std::wstring failed;
        if (old != nullptr) {
            EXPECT_TRUE(WriteBytes(m_folder / L"old.bin", *old));
            EXPECT_TRUE(WritePatchFile(m_folder / L"old.bin", m_folder / L"new.bin", out, &written, &failed, options))
                << GetLastError();
        } else {
            EXPECT_TRUE(WritePackedFile(m_folder / L"new.bin", out, &written, &failed, options)) << GetLastError();
        }
        const std::string bytes = ReadBytes(out).value_or("");
        EXPECT_EQ(written.size, bytes.size());
        EXPECT_EQ(written.md5, Md5Of(bytes));
        return bytes;
    }

    // Rebuilds from download (against base when given) into the staged file.
    CRebuildResult Rebuild(const std::string& download, const std::string* base, uint64_t newSize,
                           std::string* md5 = nullptr)
    {
        EXPECT_TRUE(WriteBytes(m_folder / L"in.bin", download));
        CHandle input = OpenRead(m_folder / L"in.bin");
        CHandle baseFile;
        if (base != nullptr) {
            EXPECT_TRUE(WriteBytes(m_folder / L"base.bin", *base));
            baseFile = OpenRead(m_folder / L"base.bin");
        }
        CHandle staged = CreateStaged(m_folder / L"staged.bin");
        std::string digest;
        const CRebuildResult result = RebuildFile(input.Get(), baseFile ? baseFile.Get() : INVALID_HANDLE_VALUE,
                                                  staged.Get(), newSize, md5 != nullptr ? md5 : &digest);
        // Whatever the download claims, nothing lies past newSize.
        if (result.status != eOutputFailed) {
            EXPECT_LE(SizeOf(staged), newSize);
        }
        return result;
    }

    CTestFolder m_folder;
};

TEST_F(FilePatchTest, RoundTrip_GivesTheNewFileAndItsMd5)
{
    const std::string program = ProgramLike(300000, 1);
    const struct
    {
        const char* name;
        std::string old; // the base of a patch
        std::string content;
        bool patch;
        uint64_t frameSize; // 0: one frame
    } cases[] = {
        {"patch of a changed file", program, Edited(program), true, 0},
        {"compressed file", "", program, false, 0},
        // Several frames: each patch frame refers to the base anew.
        {"patch in frames", program, Edited(program), true, 40000},
        {"compressed file in frames", "", program, false, 40000},
        {"frame size dividing the file exactly", program, program.substr(0, 120000), true, 40000},
        // Empty files at either end.
        {"empty new file, patch", program, "", true, 0},
        {"empty new file, compressed", "", "", false, 0},
        {"patch against an empty base", "", program.substr(0, 5000), true, 0},
        {"one byte", "", "x", false, 0},
        // A long run of one byte, where a careless suffix search degrades to
        // searching again from every position of the run.
        {"runs of zeros", std::string(2 << 20, '\0'),
         std::string(1 << 20, '\0') + "hello" + std::string(1 << 20, '\0'), true, 0},
    };
    // Each patch both as zstd frames against the base and as a byte comparison.
    for (const auto kind : {CPackOptions::eZstdPatch, CPackOptions::eDiffPatch}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (kind == CPackOptions::eDiffPatch ? ", compared" : ", zstd"));
            const std::string download = Make(c.patch ? &c.old : nullptr, c.content, c.frameSize, kind);
            std::string md5;
            const CRebuildResult result = Rebuild(download, c.patch ? &c.old : nullptr, c.content.size(), &md5);
            ASSERT_EQ(result.status, eRebuilt) << RebuildStatusText(result.status);
            EXPECT_EQ(ReadBytes(m_folder / L"staged.bin"), c.content);
            EXPECT_EQ(md5, Md5Of(c.content));
        }
    }
}

TEST_F(FilePatchTest, Patch_IsSmallForASmallChange)
{
    const std::string old = ProgramLike(1 << 20, 2);
    const std::string content = Edited(old);
    const std::string zstdPatch = Make(&old, content, 0, CPackOptions::eZstdPatch);
    const std::string diffPatch = Make(&old, content, 0, CPackOptions::eDiffPatch);
    const std::string patch = Make(&old, content);
    const std::string packed = Make(nullptr, content);
    for (const std::string* p : {&zstdPatch, &diffPatch}) {
        EXPECT_LT(p->size(), content.size() / 100);
        EXPECT_LT(p->size(), packed.size() / 10);
    }
    EXPECT_EQ(patch.size(), std::min(zstdPatch.size(), diffPatch.size()));
    EXPECT_LT(packed.size(), content.size());
}

TEST_F(FilePatchTest, ProgressReportsEachFrame)
{
    const std::string content = ProgramLike(100000, 3);
    const std::string download = Make(nullptr, content, 30000);
    ASSERT_TRUE(WriteBytes(m_folder / L"in.bin", download));
    CHandle input = OpenRead(m_folder / L"in.bin");
    CHandle staged = CreateStaged(m_folder / L"staged.bin");
    std::vector<uint64_t> seen;
    CRebuildProgress progress{[](void* context, uint64_t done, uint64_t total) {
                                  EXPECT_EQ(total, 100000u);
                                  static_cast<std::vector<uint64_t>*>(context)->push_back(done);
                              },
                              &seen};
    std::string md5;
    ASSERT_EQ(RebuildFile(input.Get(), nullptr, staged.Get(), content.size(), &md5, &progress).status, eRebuilt);
    EXPECT_EQ(seen, (std::vector<uint64_t>{30000, 60000, 90000, 100000}));
}

// A frame made by the library directly, for inputs our maker never writes.
std::string RawFrame(const std::string& content, bool withContentSize)
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, withContentSize ? 1 : 0);
    std::string out(ZSTD_compressBound(content.size()), '\0');
    const size_t size = ZSTD_compress2(context, &out[0], out.size(), content.data(), content.size());
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(size));
    out.resize(size);
    return out;
}

TEST_F(FilePatchTest, HostileDownload_IsCorruptAndNeverWritesPastNewSize)
{
    const std::string old = ProgramLike(200000, 4);
    const std::string content = Edited(old);
    const std::string otherBase = ProgramLike(200000, 5);
    const std::string patch = Make(&old, content, 0, CPackOptions::eZstdPatch);
    const std::string diff = Make(&old, content, 0, CPackOptions::eDiffPatch);
    const std::string packed = Make(nullptr, content, 50000);
    auto flip = [](std::string bytes, size_t at) {
        for (size_t i = at; i < at + 4; ++i)
            bytes[i] = static_cast<char>(bytes[i] ^ 0xff);
        return bytes;
    };
    const std::string flipped = flip(patch, patch.size() / 2);
    // The byte comparison's header: new size at 16, old size at 24, stream sizes at 32, 40, 48.
    auto setU64 = [](std::string bytes, size_t at, uint64_t value) {
        for (int i = 0; i < 8; ++i)
            bytes[at + i] = static_cast<char>(value >> (8 * i));
        return bytes;
    };
    // Another base of the same size: only the result's digest can tell.
    // (A byte the new file keeps: one in a part the edit removed would not matter.)
    std::string sameSizeBase = old;
    sameSizeBase[1000] = static_cast<char>(sameSizeBase[1000] ^ 1);
    std::string randomBytes = ProgramLike(5000, 6);
    // A frame header (magic, single segment, 8-byte content size) claiming 2^40 bytes.
    std::string hugeClaim("\x28\xb5\x2f\xfd\xe0", 5);
    hugeClaim += std::string("\x00\x00\x00\x00\x00\x01\x00\x00", 8) + std::string(64, 'x');
    // A skippable frame: no part of either format.
    std::string skippable("\x50\x2a\x4d\x18\x04\x00\x00\x00" "abcd", 12);
    const std::string shortened = old.substr(0, old.size() - 1);

    const struct
    {
        const char* name;
        std::string download;
        const std::string* base;
        uint64_t newSize;
    } cases[] = {
        {"patch applied to another base", patch, &otherBase, content.size()},
        {"patch applied without a base", patch, nullptr, content.size()},
        {"patch applied to a shortened base", patch, &shortened, content.size()},
        {"corrupted patch of the same size", flipped, &old, content.size()},
        {"compressed file cut in its last frame", packed.substr(0, packed.size() - 10), nullptr, content.size()},
        {"compressed file cut between frames", packed.substr(0, packed.size() / 2), nullptr, content.size()},
        {"compressed file cut inside a header", packed.substr(0, 3), nullptr, content.size()},
        {"trailing garbage", packed + "garbage", nullptr, content.size()},
        {"a frame too many", packed + RawFrame("more", true), nullptr, content.size()},
        {"content larger than newSize", packed, nullptr, content.size() - 1},
        {"content smaller than newSize", packed, nullptr, content.size() + 1},
        {"a frame claiming a huge size", hugeClaim, nullptr, content.size()},
        {"a frame without its content size", RawFrame(content, false), nullptr, content.size()},
        {"a skippable frame", skippable + packed, nullptr, content.size()},
        {"random bytes", randomBytes, nullptr, content.size()},
        {"random bytes against a base", randomBytes, &old, content.size()},
        {"empty download", "", nullptr, 0},
        // The byte comparison's own format.
        {"compared patch applied to another base", diff, &otherBase, content.size()},
        {"compared patch applied to a base of the same size", diff, &sameSizeBase, content.size()},
        {"compared patch applied without a base", diff, nullptr, content.size()},
        {"compared patch corrupted in its streams", flip(diff, diff.size() / 2), &old, content.size()},
        {"compared patch corrupted in its digest", flip(diff, 60), &old, content.size()},
        {"compared patch cut short", diff.substr(0, diff.size() - 5), &old, content.size()},
        {"compared patch cut inside its header", diff.substr(0, 40), &old, content.size()},
        {"compared patch with trailing garbage", diff + "garbage", &old, content.size()},
        {"compared patch for another size", diff, &old, content.size() - 1},
        {"compared patch claiming a huge size", setU64(diff, 16, 1ULL << 40), &old, content.size()},
        {"compared patch claiming huge streams", setU64(diff, 40, 1ULL << 62), &old, content.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string md5 = "unchanged";
        EXPECT_EQ(Rebuild(c.download, c.base, c.newSize, &md5).status, eCorrupt);
        EXPECT_EQ(md5, "");
    }
}

// Every frame carries a checksum and the byte comparison the result's digest:
// a changed byte anywhere in a download is refused, unless it is one the
// format ignores (the frame header's unused bit), and then the file is right.
TEST_F(FilePatchTest, AnyByteChanged_IsCorrupt)
{
    const std::string old = ProgramLike(30000, 9);
    const std::string content = Edited(old);
    const struct
    {
        const char* name;
        std::string download;
        bool patch;
    } cases[] = {
        {"zstd patch", Make(&old, content, 0, CPackOptions::eZstdPatch), true},
        {"compared patch", Make(&old, content, 0, CPackOptions::eDiffPatch), true},
        {"compressed file", Make(nullptr, content, 10000), false},
    };
    for (const auto& c : cases) {
        // Every byte of small downloads, about two hundred spread over larger ones.
        const size_t step = std::max<size_t>(1, c.download.size() / 200);
        for (size_t at = 0; at < c.download.size(); at += step) {
            SCOPED_TRACE(std::string(c.name) + ", byte " + std::to_string(at) + " of " +
                         std::to_string(c.download.size()));
            std::string changed = c.download;
            changed[at] = static_cast<char>(changed[at] ^ 0x10);
            std::string md5;
            const eRebuildStatus status = Rebuild(changed, c.patch ? &old : nullptr, content.size(), &md5).status;
            if (status == eRebuilt)
                ASSERT_EQ(md5, Md5Of(content));
            else
                ASSERT_EQ(status, eCorrupt);
        }
    }
}

TEST_F(FilePatchTest, UnusableHandles_AreToldApart)
{
    const std::string content = ProgramLike(10000, 7);
    ASSERT_TRUE(WriteBytes(m_folder / L"in.bin", Make(nullptr, content)));
    ASSERT_TRUE(WriteBytes(m_folder / L"base.bin", content));
    // Handles without read access cannot be mapped.
    CHandle writeOnly(CreateFileW((m_folder / L"wo.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(WriteFile(writeOnly.Get(), "abc", 3, nullptr, nullptr) || true);
    CHandle input = OpenRead(m_folder / L"in.bin");
    CHandle base = OpenRead(m_folder / L"base.bin");
    CHandle staged = CreateStaged(m_folder / L"staged.bin");
    CHandle readOnlyStaged = OpenRead(m_folder / L"base.bin");
    std::string md5;

    CRebuildResult result = RebuildFile(writeOnly.Get(), nullptr, staged.Get(), content.size(), &md5);
    EXPECT_EQ(result.status, eDownloadUnreadable);
    EXPECT_NE(result.error, 0u);
    result = RebuildFile(input.Get(), writeOnly.Get(), staged.Get(), content.size(), &md5);
    EXPECT_EQ(result.status, eBaseUnreadable);
    EXPECT_NE(result.error, 0u);
    result = RebuildFile(input.Get(), base.Get(), readOnlyStaged.Get(), content.size(), &md5);
    EXPECT_EQ(result.status, eOutputFailed);
    EXPECT_NE(result.error, 0u);
    // A compressed file never refers to a base, so one given is harmless.
    EXPECT_EQ(RebuildFile(input.Get(), base.Get(), staged.Get(), content.size(), &md5).status, eRebuilt);
}

// The process's committed private memory, summed over its address space.
// Wine's PrivateUsage counter does not count the heap (a touched 100 MiB
// vector left it unchanged, measured); the regions VirtualQuery reports do,
// and mapped views of files are MEM_MAPPED, not MEM_PRIVATE.
SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
    }
    return total;
}

// Writes size bytes of random data in 1 MiB blocks; every flipEvery bytes one
// byte differs by variant, so two variants are versions of one file.
void WriteLargeFile(const std::wstring& path, uint64_t size, uint64_t flipEvery, int variant)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    std::string block = ProgramLike(1 << 20, 8);
    for (auto& c : block)
        c = static_cast<char>(c * 131 + (&c - &block[0]) * 7);
    for (uint64_t at = 0; at < size; at += block.size()) {
        std::string piece = block;
        piece[(at / flipEvery) % piece.size()] = static_cast<char>(at / block.size() + variant);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.Get(), piece.data(), DWORD(piece.size()), &written, nullptr));
    }
}

TEST_F(FilePatchTest, LargeFile_RebuildsWithinTheMemoryBound)
{
    const uint64_t size = 256ULL << 20;
    WriteLargeFile(m_folder / L"old.bin", size, 16 << 20, 0);
    WriteLargeFile(m_folder / L"new.bin", size, 16 << 20, 1);
    CPackOptions options;
    options.level = 1; // the bound is the decoder's; a fast level keeps the test short
    options.frameSize = 32 << 20; // the memory is sampled after each frame
    CPackedOutput written;
    std::wstring failed;
    ASSERT_TRUE(WritePatchFile(m_folder / L"old.bin", m_folder / L"new.bin", m_folder / L"patch.bin", &written,
                               &failed, options));
    std::string expected;
    {
        CHandle file = OpenRead(m_folder / L"new.bin");
        CMd5 md5;
        std::vector<char> buffer(1 << 20);
        DWORD read = 0;
        while (ReadFile(file.Get(), buffer.data(), DWORD(buffer.size()), &read, nullptr) && read > 0)
            md5.Update(buffer.data(), read);
        expected = md5.FinishHex();
    }
    CHandle input = OpenRead(m_folder / L"patch.bin");
    CHandle base = OpenRead(m_folder / L"old.bin");
    CHandle staged = CreateStaged(m_folder / L"staged.bin");
    struct Peak
    {
        SIZE_T start;
        SIZE_T peak;
    } peak{PrivateBytes(), 0};
    CRebuildProgress progress{[](void* context, uint64_t, uint64_t) {
                                  auto* p = static_cast<Peak*>(context);
                                  p->peak = std::max(p->peak, PrivateBytes());
                              },
                              &peak};
    std::string md5;
    ASSERT_EQ(RebuildFile(input.Get(), base.Get(), staged.Get(), size, &md5, &progress).status, eRebuilt);
    peak.peak = std::max(peak.peak, PrivateBytes());
    EXPECT_EQ(md5, expected);
    EXPECT_EQ(SizeOf(staged), size);
    EXPECT_LT(peak.peak - std::min(peak.peak, peak.start), SIZE_T(64) << 20)
        << "private bytes at the start " << peak.start << ", at the peak " << peak.peak;
}

} // namespace
