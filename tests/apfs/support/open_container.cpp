#include "open_container.h"

#include "apfs_test_support.h"

#include <fstream>
#include <sstream>

namespace apfs_test {

namespace {

void ReadRecords(std::istream& in, const std::string& image, std::vector<DirRecord>* records) {
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.rfind("# image ", 0) == 0) {
            inside = line.substr(8) == image;
            continue;
        }
        if (!inside || line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string rule, parent, hex, hash;
        std::getline(fields, rule, '\t');
        std::getline(fields, parent, '\t');
        std::getline(fields, hex, '\t');
        std::getline(fields, hash, '\t');
        DirRecord r{std::stoull(parent), std::string(), hash == "-" ? 0u : (uint32_t)std::stoul(hash)};
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            r.name.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        records->push_back(r);
    }
}

} // namespace

OpenedContainer::OpenedContainer(const char* device) {
    UseTestDevices();
    FsReader_Reset(&m_reader);
    apfs_container_init(&m_container);
    std::vector<uint8_t> block0(4096);
    m_ok = FsReader_Init(&m_reader, device) && FsReader_Read(&m_reader, 0, block0.data(), block0.size()) &&
           apfs_container_open(&m_container, block0.data(), &m_reader);
}

OpenedContainer::~OpenedContainer() {
    apfs_container_free(&m_container);
    FsReader_Uninit(&m_reader);
}

std::vector<DirRecord> DirRecordsOf(const std::string& image) {
    std::vector<DirRecord> records;
    for (const char* file : {"names.tsv", "names_apple.tsv"}) {
        std::ifstream in(std::string(VOLARIX_TEST_DATA) + "/apfs/" + file);
        ReadRecords(in, image, &records);
    }
    return records;
}

} // namespace apfs_test
