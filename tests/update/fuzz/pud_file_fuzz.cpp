// The update-information file as a server might deliver it, read by ReadPudFile. An input that
// starts with the magic is the file as it stands, so that the digest-protected blocks meet their
// faults; any other input is the record behind the magic, which the block writer first wraps in
// valid blocks, so that the record's own reader is reached. A failed read must leave the caller's
// record alone; a record read must come back the same through WritePudFile.
#include "pud_file.h"
#include "fuzz_support.h"
#include "safe_data_file.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

const char kMagic[] = "$AUD";
const uint32_t kMagicSize = 4;

std::string g_InputName;
std::string g_CopyName;
std::wstring g_Input;
std::wstring g_Copy;

void RemoveFiles() {
    unlink(g_InputName.c_str());
    unlink(g_CopyName.c_str());
}

bool SamePackage(const PudPackage& a, const PudPackage& b) {
    return memcmp(a.numbers, b.numbers, sizeof a.numbers) == 0 && a.text1 == b.text1 && a.text2 == b.text2 &&
           memcmp(a.data1, b.data1, sizeof a.data1) == 0 && a.text3 == b.text3 &&
           memcmp(a.data2, b.data2, sizeof a.data2) == 0 && a.text4 == b.text4 &&
           memcmp(a.table1, b.table1, sizeof a.table1) == 0 &&
           memcmp(a.table2, b.table2, sizeof a.table2) == 0;
}

std::unique_ptr<PudPackage> Marked() {
    std::unique_ptr<PudPackage> package(new PudPackage);
    package->numbers[0] = 0xA5A5A5A5;
    package->text1 = L"untouched";
    package->table2[kPudTableEntries - 1][1] = 7;
    return package;
}

void WriteInput(const uint8_t* data, size_t size) {
    if (size >= kMagicSize && memcmp(data, kMagic, kMagicSize) == 0) {
        FILE* file = fopen(g_InputName.c_str(), "wb");
        FuzzCheck(file != nullptr && fwrite(data, 1, size, file) == size && fclose(file) == 0);
        return;
    }
    try {
        CSafeDataFileOut file;
        file.Open(g_Input.c_str(), kDiskFileWrite | kDiskFileCreate);
        file.CDiskFile::Write(kMagic, kMagicSize);
        file.Write(data, static_cast<uint32_t>(size));
        file.FlushBlock();
        FuzzCheck(file.Close());
    } catch (CDiskFileException* error) {
        delete error;
        FuzzCheck(false);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string stem = FuzzScratchFolder() + "/pud_file_fuzz." + std::to_string(getpid());
    g_InputName = stem + ".in";
    g_CopyName = stem + ".copy";
    g_Input.assign(g_InputName.begin(), g_InputName.end());
    g_Copy.assign(g_CopyName.begin(), g_CopyName.end());
    atexit(RemoveFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteInput(data, size);
    std::unique_ptr<PudPackage> package = Marked();
    if (!ReadPudFile(g_Input.c_str(), package.get())) {
        FuzzCheck(SamePackage(*package, *Marked()));
        return 0;
    }
    FuzzCheck(WritePudFile(g_Copy.c_str(), *package) == 1);
    std::unique_ptr<PudPackage> again = Marked();
    FuzzCheck(ReadPudFile(g_Copy.c_str(), again.get()) == 1);
    FuzzCheck(SamePackage(*package, *again));
    return 0;
}
