#include "pud_file.h"

#include "safe_data_file.h"
#include "string_helpers.h"
#include "win_api.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

const uint8_t kPudMagic[4] = {'$', 'A', 'U', 'D'};
const int32_t kPudVersion = 100;
const uint32_t kPudVersionSize = 3;
const uint32_t kPudTableSize = kPudTableEntries * 8;

// Keeps 2 * count within the 32-bit byte count of a read; no real file comes near it.
const uint32_t kPudMaxStringUnits = 0x7FFFFFFF;

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

void ReadNumbers(CSafeDataFileIn& file, uint32_t* numbers, uint32_t count) {
    uint8_t raw[kPudTableSize];
    file.ReadExact(raw, count * 4);
    for (uint32_t i = 0; i < count; ++i)
        numbers[i] = LoadLe32(raw + 4 * i);
}

void WriteNumbers(CSafeDataFileOut& file, const uint32_t* numbers, uint32_t count) {
    uint8_t raw[kPudTableSize];
    for (uint32_t i = 0; i < count; ++i)
        StoreLe32(raw + 4 * i, numbers[i]);
    file.Write(raw, count * 4);
}

std::wstring ReadText(CSafeDataFileIn& file) {
    uint32_t count = 0;
    const std::unique_ptr<wchar_t[]> units(PudReadString(file, &count));
    return units ? std::wstring(units.get(), count) : std::wstring();
}

void WriteText(CSafeDataFileOut& file, const std::wstring& text) {
    const uint32_t count = static_cast<uint32_t>(text.size());
    uint8_t raw[4];
    StoreLe32(raw, count);
    file.Write(raw, sizeof raw);
    // Little-endian 16-bit units whatever the width of wchar_t, so that the native build writes
    // the file the product writes.
    std::unique_ptr<uint8_t[]> units(new uint8_t[static_cast<size_t>(count) * 2]);
    for (uint32_t i = 0; i < count; ++i) {
        units[2 * i] = static_cast<uint8_t>(text[i]);
        units[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    file.Write(units.get(), count * 2);
}

void WritePayload(CSafeDataFileOut& file, const PudPackage& package) {
    std::string version;
    FormatStringA(version, "%d", kPudVersion);
    file.Write(version.data(), static_cast<uint32_t>(version.size()));
    WriteNumbers(file, package.numbers, 4);
    WriteText(file, package.text1);
    WriteText(file, package.text2);
    file.Write(package.data1, sizeof package.data1);
    WriteText(file, package.text3);
    file.Write(package.data2, sizeof package.data2);
    WriteText(file, package.text4);
    WriteNumbers(file, &package.table1[0][0], kPudTableEntries * 2);
    WriteNumbers(file, &package.table2[0][0], kPudTableEntries * 2);
}

} // namespace

wchar_t* PudReadString(CSafeDataFileIn& file, uint32_t* count) {
    uint8_t raw[4];
    file.ReadExact(raw, sizeof raw);
    const uint32_t units = LoadLe32(raw);
    if (count)
        *count = units;
    if (units == 0)
        return nullptr;
    // The count comes from the network: refuse one the file cannot hold before allocating for it.
    if (units > kPudMaxStringUnits || 2 * static_cast<uint64_t>(units) > file.GetLength())
        throw kErrBadBlock;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(units) * 2]);
    file.ReadExact(bytes.get(), units * 2);
    std::unique_ptr<wchar_t[]> text(new wchar_t[static_cast<size_t>(units) + 1]);
    for (uint32_t i = 0; i < units; ++i)
        text[i] = static_cast<wchar_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    text[units] = L'\0';
    return text.release();
}

void ReadPudRecord(CSafeDataFileIn& file, PudPackage* package) {
    uint8_t magic[sizeof kPudMagic];
    if (file.CDiskFile::Read(magic, sizeof magic) != sizeof magic ||
        memcmp(magic, kPudMagic, sizeof magic) != 0)
        throw std::wstring(L"Not a valid PUD file.");

    char version[kPudVersionSize + 1] = {};
    file.ReadExact(version, kPudVersionSize);
    if (ParseLong(version, 10, INT32_MIN) != kPudVersion)
        throw StrFormatW(L"Unsupported .PUD file version '%S'.", version);

    ReadNumbers(file, package->numbers, 4);
    package->text1 = ReadText(file);
    package->text2 = ReadText(file);
    file.ReadExact(package->data1, sizeof package->data1);
    package->text3 = ReadText(file);
    file.ReadExact(package->data2, sizeof package->data2);
    package->text4 = ReadText(file);
    ReadNumbers(file, &package->table1[0][0], kPudTableEntries * 2);
    ReadNumbers(file, &package->table2[0][0], kPudTableEntries * 2);
}

int ReadPudFile(const wchar_t* path, PudPackage* package) {
    CSafeDataFileIn file;
    // Filled apart from the caller's record, which a failure must leave as it was.
    const std::unique_ptr<PudPackage> record(new PudPackage);
    try {
        file.Open(path, kDiskFileRead | kDiskFileShareRead);
        ReadPudRecord(file, record.get());
        *package = std::move(*record);
    } catch (CDiskFileException* e) {
        delete e;
        return 0;
    } catch (long) {
        return 0;
    } catch (const std::wstring&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

int WritePudFile(const wchar_t* path, const PudPackage& package) {
    std::wstring staging;
    bool created = false;
    bool written = false;
    try {
        staging = std::wstring(path) + L".tmp";
        // The data folder may have been prepared by another user: a link in the staging file's
        // place is refused, and a stale file is removed, so that only a file made here is written
        // and renamed.
        const DWORD attributes = GetFileAttributesW(staging.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !DeleteFileW(staging.c_str())))
            return 0;
        CSafeDataFileOut file;
        file.Open(staging.c_str(), kDiskFileWrite | kDiskFileShareRead | kDiskFileCreateNew);
        created = true;
        file.CDiskFile::Write(kPudMagic, sizeof kPudMagic);
        WritePayload(file, package);
        file.FlushBlock();
        // On disk before it takes the name, so that a crash cannot leave a named but empty file.
        file.Flush();
        written = file.Close() != 0;
    } catch (CDiskFileException* e) {
        delete e;
    } catch (const std::bad_alloc&) {
        // Low memory fails the store like a full disk: the update thread has no handler for it.
    }
    // The file object is gone by here, so its handle is closed before the file is moved or removed.
    if (written && MoveFileExW(staging.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    if (created)
        DeleteFileW(staging.c_str());
    return 0;
}
