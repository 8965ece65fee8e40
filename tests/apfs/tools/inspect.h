#pragma once
// apfs-inspect's body: mounts one volume of an APFS device with the reader and prints its tree in
// the fixtures' manifest format, or resolves paths through the directory iterator.
#include <string>
#include <vector>

struct FsReader;

struct InspectOptions {
    std::string device; // \\.\HarddiskVolumeN, \\.\PhysicalDriveN, or natively a file
    const char* password = nullptr;
    int volume = -1; // -1: the data volume the probe would choose
    std::vector<std::string> lookups;
};

// Exit code of a volume that does not mount because it is encrypted.
constexpr int kInspectEncrypted = 3;

// 0 on success; the manifest (or one line per lookup) goes to out, diagnostics to err.
int RunInspect(const InspectOptions& options, std::string& out, std::string& err);
// The same on a reader the caller opened (options.device unused): the tests read images they
// edited through one and count its transfers.
int InspectReader(const InspectOptions& options, FsReader* reader, std::string& out, std::string& err);
