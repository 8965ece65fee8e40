#pragma once
// The update-information file the update server delivers (.PUD) and its stored copy updates.dat:
// the magic "$AUD" outside the block structure, then digest-protected blocks that carry the format
// version "100" and one PudPackage. The service stores and copies the record whole and gives no
// meaning to its fields.
#include <cstdint>
#include <string>

class CSafeDataFileIn;

const uint32_t kPudTableEntries = 1024;

// The largest update-information file the client downloads. The record's fixed part is 16 KiB and
// its four texts are links, versions and notes; 4 MiB leaves them two million UTF-16 units, yet
// bounds what a server can make the service write into the temporary folder.
const int64_t kPudMaxFileSize = 4 * 1024 * 1024;

struct PudPackage {
    uint32_t numbers[4] = {};
    std::wstring text1;
    std::wstring text2;
    uint8_t data1[16] = {};
    std::wstring text3;
    uint8_t data2[16] = {};
    std::wstring text4;
    uint32_t table1[kPudTableEntries][2] = {};
    uint32_t table2[kPudTableEntries][2] = {};
};

// 1 and *package filled in, or 0 and *package untouched: a missing or unreadable file, a wrong
// magic or version, a bad block or data that end early.
int ReadPudFile(const wchar_t* path, PudPackage* package);

// Reads magic, version and record from an open file into *package, throwing what ReadPudFile
// turns into 0: the messages "Not a valid PUD file." and "Unsupported .PUD file version '...'." as
// std::wstring, kErrBadBlock, CDiskFileException* and std::bad_alloc. *package may be left
// half-filled.
void ReadPudRecord(CSafeDataFileIn& file, PudPackage* package);

// A counted string: a new[] array of count units and a terminator, or null for count 0. A count
// the file cannot hold throws kErrBadBlock before anything is allocated.
wchar_t* PudReadString(CSafeDataFileIn& file, uint32_t* count);

// 1 when the whole file was written; 0 on any failure, low memory too. The file appears under path
// only once complete: it is written beside it first, so that a failure leaves neither a partial file
// nor a loss of the one that was there before.
int WritePudFile(const wchar_t* path, const PudPackage& package);

// Stores the record as updates.dat in the data folder and its path in the value "UPD" of the
// settings key; 1 only when both happened.
int SavePudPackage(const PudPackage& package);
