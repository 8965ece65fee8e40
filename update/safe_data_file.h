#pragma once
// A byte stream stored in blocks of at most 65535 bytes, each preceded by the MD5 digest of its own
// bytes, so that a reader notices a changed or cut block. No length or count is stored: every block
// but the last is full, and the reader learns the last one's size from the file length. Bytes
// before the first block (a magic, say) are written and read with the plain CDiskFile::Write and
// CDiskFile::Read.
#include "disk_file.h"

#include <cstdint>
#include <memory>

// Thrown as a 32-bit long, like every error code of the service: a block too short for its digest,
// a digest that does not match, or data that end before the reader has what it needs.
const long kErrBadBlock = 0xA0001;

const uint32_t kSafeBlockSize = 65535;

class CSafeDataFileBase : public CDiskFile {
  public:
    CSafeDataFileBase();
    ~CSafeDataFileBase() override;

  protected:
    std::unique_ptr<uint8_t[]> m_block;
    uint32_t m_blockBytes = 0; // payload bytes held in m_block
};

class CSafeDataFileIn : public CSafeDataFileBase {
  public:
    CSafeDataFileIn() = default;
    ~CSafeDataFileIn() override;

    // Loads at most one block per call, so it may deliver fewer than count bytes although more
    // data follows; 0 only at the end of the data. Throws kErrBadBlock for a bad block.
    uint32_t Read(void* buffer, uint32_t count) override;
    // Exactly count bytes, or kErrBadBlock.
    void ReadExact(void* buffer, uint32_t count);

  private:
    uint32_t m_readPos = 0; // next unread byte of m_block
};

class CSafeDataFileOut : public CSafeDataFileBase {
  public:
    CSafeDataFileOut() = default;
    // Does not write the pending block: a file abandoned half-way must not look complete.
    ~CSafeDataFileOut() override;

    // Takes all count bytes; a block is written only once a byte follows it.
    void Write(const void* buffer, uint32_t count) override;
    // Writes the pending last block. Call it once, after the last Write and before Close.
    void FlushBlock();

  private:
    void WriteBlock(uint32_t size);
};
