#pragma once
// A fixture container opened through the reader's own device and container layers, and the
// directory records that names.tsv lists for an image.
#include "container.h"
#include "fs_reader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace apfs_test {

class OpenedContainer {
  public:
    explicit OpenedContainer(const char* device);
    ~OpenedContainer();
    OpenedContainer(const OpenedContainer&) = delete;
    OpenedContainer& operator=(const OpenedContainer&) = delete;

    bool Ok() const { return m_ok; }
    apfs_container* Get() { return &m_container; }

  private:
    FsReader m_reader;
    apfs_container m_container;
    bool m_ok = false;
};

struct DirRecord {
    uint64_t parent;
    std::string name; // without the terminator
    uint32_t hash;    // 0 where the volume stores none
};

// The records names.tsv gives for an image ("pop_ci_1g.img").
std::vector<DirRecord> DirRecordsOf(const std::string& image);

} // namespace apfs_test
