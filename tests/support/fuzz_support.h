// What the native fuzz targets share: where they keep scratch files, how they report a broken
// property, and how they keep the code under test from flooding libFuzzer's output.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

// A memory-backed folder when there is one: the file calls (a flush among them) would otherwise
// take most of each run.
inline std::string FuzzScratchFolder() {
    const char* folder = getenv("TMPDIR");
    if (folder != nullptr && *folder != 0)
        return folder;
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

// A property that does not hold is a finding like a crash, with the input kept.
inline void FuzzCheck(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The device reader writes a line for every failed read, which would bury libFuzzer's own
// output: ask libFuzzer to discard the target's stderr (its reports and the sanitizers' go to a
// copy it keeps). Called from LLVMFuzzerInitialize, before libFuzzer parses its flags.
inline void FuzzDiscardTargetStderr(int* argc, char*** argv) {
    static std::vector<char*> args;
    static char quiet[] = "-close_fd_mask=2";
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, quiet);
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
}
