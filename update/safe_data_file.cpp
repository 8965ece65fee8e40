#include "safe_data_file.h"

#include "md5.h"

#include <algorithm>
#include <cstring>

CSafeDataFileBase::CSafeDataFileBase() : m_block(new uint8_t[kSafeBlockSize]) {}

CSafeDataFileBase::~CSafeDataFileBase() = default;

CSafeDataFileIn::~CSafeDataFileIn() = default;

uint32_t CSafeDataFileIn::Read(void* buffer, uint32_t count) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    // Compared without adding to m_readPos: a count near 4 GiB would wrap the sum.
    const uint32_t buffered = m_blockBytes - m_readPos;
    if (count <= buffered) {
        if (count != 0)
            memcpy(out, m_block.get() + m_readPos, count);
        m_readPos += count;
        return count;
    }
    if (buffered != 0)
        memcpy(out, m_block.get() + m_readPos, buffered);
    m_blockBytes = 0;
    m_readPos = 0;

    const uint64_t length = GetLength();
    const int64_t blockStart = GetPosition();
    const uint64_t left = length > static_cast<uint64_t>(blockStart) ? length - blockStart : 0;
    if (left == 0)
        return buffered;
    // A digest with no payload behind it is no block the writer makes.
    if (left <= kMd5DigestSize)
        throw kErrBadBlock;

    const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(left - kMd5DigestSize, kSafeBlockSize));
    uint8_t stored[kMd5DigestSize];
    uint8_t actual[kMd5DigestSize];
    if (CDiskFile::Read(stored, kMd5DigestSize) != kMd5DigestSize ||
        CDiskFile::Read(m_block.get(), size) != size ||
        memcmp(stored, Md5Digest(m_block.get(), size, actual), kMd5DigestSize) != 0) {
        // Back to the bad block, so that a caller who reads on meets it again rather than the
        // data behind it.
        Seek(blockStart, FILE_BEGIN);
        throw kErrBadBlock;
    }
    m_blockBytes = size;

    const uint32_t taken = std::min(count - buffered, size);
    memcpy(out + buffered, m_block.get(), taken);
    m_readPos = taken;
    return buffered + taken;
}

void CSafeDataFileIn::ReadExact(void* buffer, uint32_t count) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (count != 0) {
        const uint32_t got = Read(out, count);
        if (got == 0)
            throw kErrBadBlock;
        out += got;
        count -= got;
    }
}

CSafeDataFileOut::~CSafeDataFileOut() = default;

void CSafeDataFileOut::Write(const void* buffer, uint32_t count) {
    if (count == 0)
        return;
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    // A full buffer stays pending until a further byte arrives, so that FlushBlock always has the
    // last block to write and no block is ever empty.
    while (count > kSafeBlockSize - m_blockBytes) {
        const uint32_t room = kSafeBlockSize - m_blockBytes;
        memcpy(m_block.get() + m_blockBytes, in, room);
        in += room;
        count -= room;
        WriteBlock(kSafeBlockSize);
        m_blockBytes = 0;
    }
    memcpy(m_block.get() + m_blockBytes, in, count);
    m_blockBytes += count;
}

void CSafeDataFileOut::FlushBlock() {
    if (m_blockBytes != 0)
        WriteBlock(m_blockBytes);
}

void CSafeDataFileOut::WriteBlock(uint32_t size) {
    uint8_t digest[kMd5DigestSize];
    Md5Digest(m_block.get(), size, digest);
    CDiskFile::Write(digest, kMd5DigestSize);
    CDiskFile::Write(m_block.get(), size);
}
