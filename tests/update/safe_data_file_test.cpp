#include "safe_data_file.h"

#include "file_bytes.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kFull = 65535;
const uint32_t kBlockOnDisk = 16 + kFull;

// Distinct bytes at every offset of a block, so that a misplaced copy shows.
Bytes Pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131 + i / 65535 * 7) ^ (i >> 8));
    return bytes;
}

// The digest from OpenSSL, independent of the service's own MD5.
Bytes Md5Of(const uint8_t* data, size_t size) {
    Bytes digest(16);
    unsigned int length = 0;
    EVP_Digest(data, size, digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

// The error code a call threw: kErrBadBlock, or -1 for a file error, or 0 when it did not throw.
long ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (long code) {
        return code;
    } catch (CDiskFileException* e) {
        delete e;
        return -1;
    }
    return 0;
}

class SafeDataFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_folder = temp + std::wstring(L"safe_data_file_test_") + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_folder.c_str(), nullptr);
        m_path = m_folder + L"\\stream.bin";
    }
    void TearDown() override {
        DeleteFileW(m_path.c_str());
        RemoveDirectoryW(m_folder.c_str());
    }

    // Writes data through the block writer in pieces of the given sizes (the last one repeated).
    void WriteStream(const Bytes& data, std::vector<size_t> pieces, bool flush = true) {
        CSafeDataFileOut out;
        out.Open(m_path.c_str(), kDiskFileWrite | kDiskFileShareRead | kDiskFileCreate);
        size_t done = 0;
        for (size_t i = 0; done < data.size(); ++i) {
            const size_t piece = std::min(pieces[std::min(i, pieces.size() - 1)], data.size() - done);
            out.Write(data.data() + done, static_cast<uint32_t>(piece));
            done += piece;
        }
        if (flush)
            out.FlushBlock();
    }
    void WriteStream(const Bytes& data) { WriteStream(data, {data.size()}); }

    Bytes FileBytes() { return ::FileBytes(m_path); }
    void SetFileBytes(const Bytes& bytes) { ::SetFileBytes(m_path, bytes); }

    void OpenIn(CSafeDataFileIn& in) { in.Open(m_path.c_str(), kDiskFileRead | kDiskFileShareRead); }

    std::wstring m_folder;
    std::wstring m_path;
};

TEST_F(SafeDataFileTest, RoundTripsStreamsAroundTheBlockSize) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{65534}, size_t{65535}, size_t{65536}, size_t{131070},
                        size_t{131071}, size_t{5 * 65535 + 12345}}) {
        SCOPED_TRACE(size);
        const Bytes data = Pattern(size);
        WriteStream(data);

        const size_t blocks = (size + kFull - 1) / kFull;
        const Bytes file = FileBytes();
        ASSERT_EQ(16 * blocks + size, file.size());
        // Every block on disk is its digest followed by its payload; all but the last are full.
        for (size_t b = 0; b < blocks; ++b) {
            const size_t payload = std::min<size_t>(kFull, size - b * kFull);
            const uint8_t* block = file.data() + b * kBlockOnDisk;
            EXPECT_EQ(Md5Of(block + 16, payload), Bytes(block, block + 16)) << "block " << b;
            EXPECT_EQ(0, memcmp(block + 16, data.data() + b * kFull, payload)) << "block " << b;
        }

        CSafeDataFileIn in;
        OpenIn(in);
        Bytes back(size + 1);
        in.ReadExact(back.data(), static_cast<uint32_t>(size));
        EXPECT_EQ(0u, in.Read(back.data() + size, 1));
        back.resize(size);
        EXPECT_EQ(data, back);
    }
}

TEST_F(SafeDataFileTest, SmallWritesMakeTheSameFileAsOneLargeWrite) {
    const Bytes data = Pattern(2 * 65535 + 300);
    WriteStream(data);
    const Bytes whole = FileBytes();
    for (const std::vector<size_t>& pieces :
         std::vector<std::vector<size_t>>{{1}, {7}, {65534, 1, 2}, {65535}, {65536}, {100000, 3}}) {
        WriteStream(data, pieces);
        EXPECT_EQ(whole, FileBytes()) << "first piece " << pieces[0];
    }
}

TEST_F(SafeDataFileTest, WriterLeavesThePendingBlockToFlushBlock) {
    // A full buffer stays pending until a further byte arrives.
    WriteStream(Pattern(65535), {65535}, false);
    EXPECT_EQ(0u, FileBytes().size());
    WriteStream(Pattern(65536), {65536}, false);
    EXPECT_EQ(size_t{kBlockOnDisk}, FileBytes().size());
    WriteStream(Pattern(65536), {65536}, true);
    EXPECT_EQ(size_t{kBlockOnDisk + 17}, FileBytes().size());
}

TEST_F(SafeDataFileTest, ReadsAcrossBlockBordersInAnyPieces) {
    const Bytes data = Pattern(3 * 65535 + 11);
    WriteStream(data);
    for (uint32_t piece : {1u, 7u, 4096u, 65534u, 65536u, 100000u}) {
        SCOPED_TRACE(piece);
        CSafeDataFileIn in;
        OpenIn(in);
        Bytes back;
        Bytes buffer(piece);
        for (;;) {
            const uint32_t got = in.Read(buffer.data(), piece);
            if (got == 0)
                break;
            ASSERT_LE(got, piece);
            back.insert(back.end(), buffer.begin(), buffer.begin() + got);
        }
        EXPECT_EQ(data, back);
    }
}

TEST_F(SafeDataFileTest, OneReadLoadsAtMostOneBlock) {
    const Bytes data = Pattern(3 * 65535);
    WriteStream(data);
    CSafeDataFileIn in;
    OpenIn(in);
    Bytes buffer(2 * 65535);
    EXPECT_EQ(65535u, in.Read(buffer.data(), 200000));
    EXPECT_EQ(10u, in.Read(buffer.data(), 10));
    // The rest of the buffered block and then one more.
    EXPECT_EQ(65525u + 65535u, in.Read(buffer.data(), 200000));
    EXPECT_EQ(0, memcmp(buffer.data(), data.data() + 65545, 65525 + 65535));
}

TEST_F(SafeDataFileTest, HugeReadCountDoesNotOverrunTheBlock) {
    // A count near 4 GiB must not wrap when added to the read position.
    const Bytes data = Pattern(65535 + 100);
    WriteStream(data);
    CSafeDataFileIn in;
    OpenIn(in);
    Bytes buffer(2 * 65535);
    EXPECT_EQ(10u, in.Read(buffer.data(), 10));
    EXPECT_EQ(65525u + 100u, in.Read(buffer.data(), 0xFFFFFFF8u));
    EXPECT_EQ(0, memcmp(buffer.data(), data.data() + 10, 65525 + 100));
}

TEST_F(SafeDataFileTest, ChangedByteFailsAtTheBlockThatHoldsIt) {
    const Bytes data = Pattern(3 * 65535);
    WriteStream(data);
    const Bytes good = FileBytes();
    // A payload byte of the second block, then a byte of its digest.
    for (size_t offset : {size_t{kBlockOnDisk + 16 + 40000}, size_t{kBlockOnDisk + 5}}) {
        SCOPED_TRACE(offset);
        Bytes bad = good;
        bad[offset] ^= 0x20;
        SetFileBytes(bad);

        CSafeDataFileIn in;
        OpenIn(in);
        Bytes buffer(65535);
        in.ReadExact(buffer.data(), 65535);
        EXPECT_EQ(Bytes(data.begin(), data.begin() + 65535), buffer);
        EXPECT_EQ(kErrBadBlock, ErrorOf([&] { in.Read(buffer.data(), 1); }));
        // Reading on meets the same block again, never its unverified bytes or the block behind it.
        EXPECT_EQ(kErrBadBlock, ErrorOf([&] { in.Read(buffer.data(), 1); }));
    }
}

TEST_F(SafeDataFileTest, CutFileFailsAtTheDamagedBlock) {
    const Bytes data = Pattern(2 * 65535 + 1000);
    WriteStream(data);
    const Bytes good = FileBytes();
    const size_t lastBlock = 2 * kBlockOnDisk;
    // Inside the last digest, right behind it, and inside the last payload.
    for (size_t cut : {lastBlock + 3, lastBlock + 16, lastBlock + 16 + 999}) {
        SCOPED_TRACE(cut);
        SetFileBytes(Bytes(good.begin(), good.begin() + cut));
        CSafeDataFileIn in;
        OpenIn(in);
        Bytes buffer(data.size());
        in.ReadExact(buffer.data(), 2 * 65535);
        EXPECT_EQ(Bytes(data.begin(), data.begin() + 2 * 65535),
                  Bytes(buffer.begin(), buffer.begin() + 2 * 65535));
        EXPECT_EQ(kErrBadBlock, ErrorOf([&] { in.Read(buffer.data(), 1); }));
    }
}

TEST_F(SafeDataFileTest, FileCutAtABlockBorderReadsAsAShorterStream) {
    const Bytes data = Pattern(2 * 65535 + 1000);
    WriteStream(data);
    const Bytes good = FileBytes();
    SetFileBytes(Bytes(good.begin(), good.begin() + 2 * kBlockOnDisk));

    CSafeDataFileIn in;
    OpenIn(in);
    Bytes buffer(data.size());
    in.ReadExact(buffer.data(), 2 * 65535 - 5);
    // What is buffered comes out; only a reader that needs more fails.
    EXPECT_EQ(5u, in.Read(buffer.data(), 100));
    EXPECT_EQ(0u, in.Read(buffer.data(), 100));

    CSafeDataFileIn exact;
    OpenIn(exact);
    EXPECT_EQ(kErrBadBlock,
              ErrorOf([&] { exact.ReadExact(buffer.data(), static_cast<uint32_t>(data.size())); }));
}

TEST_F(SafeDataFileTest, BytesBehindTheLastBlockAreSeenOnlyWhenNeeded) {
    const Bytes data = Pattern(65535);
    WriteStream(data);
    Bytes file = FileBytes();
    file.insert(file.end(), {1, 2, 3, 4, 5});
    SetFileBytes(file);

    Bytes buffer(65535 + 30);
    {
        CSafeDataFileIn in;
        OpenIn(in);
        in.ReadExact(buffer.data(), 65535);
        EXPECT_EQ(data, Bytes(buffer.begin(), buffer.begin() + 65535));
        EXPECT_EQ(kErrBadBlock, ErrorOf([&] { in.ReadExact(buffer.data(), 1); }));
    }

    // Behind a full block, a further block with a matching digest is simply more data.
    const Bytes extra = Pattern(30);
    file.resize(file.size() - 5);
    const Bytes digest = Md5Of(extra.data(), extra.size());
    file.insert(file.end(), digest.begin(), digest.end());
    file.insert(file.end(), extra.begin(), extra.end());
    SetFileBytes(file);
    CSafeDataFileIn more;
    OpenIn(more);
    more.ReadExact(buffer.data(), 65535 + 30);
    EXPECT_EQ(extra, Bytes(buffer.begin() + 65535, buffer.end()));
}

TEST_F(SafeDataFileTest, PlainPrefixStaysOutsideTheBlocks) {
    const Bytes data = Pattern(70000);
    {
        CSafeDataFileOut out;
        out.Open(m_path.c_str(), kDiskFileWrite | kDiskFileShareRead | kDiskFileCreate);
        out.CDiskFile::Write("$AUD", 4);
        out.Write(data.data(), static_cast<uint32_t>(data.size()));
        out.FlushBlock();
    }
    const Bytes file = FileBytes();
    ASSERT_EQ(4 + 32 + data.size(), file.size());
    EXPECT_EQ(0, memcmp(file.data(), "$AUD", 4));
    EXPECT_EQ(Md5Of(data.data(), 65535), Bytes(file.begin() + 4, file.begin() + 20));

    CSafeDataFileIn in;
    OpenIn(in);
    char magic[4];
    ASSERT_EQ(4u, in.CDiskFile::Read(magic, 4));
    EXPECT_EQ(0, memcmp(magic, "$AUD", 4));
    Bytes back(data.size());
    in.ReadExact(back.data(), static_cast<uint32_t>(back.size()));
    EXPECT_EQ(data, back);
}

TEST_F(SafeDataFileTest, FileErrorsPassThroughUnchanged) {
    const Bytes data = Pattern(10);
    WriteStream(data);
    // Opened without write access, so the block's write fails in the file layer.
    CSafeDataFileOut out;
    out.Open(m_path.c_str(), kDiskFileRead | kDiskFileShareRead);
    out.Write(data.data(), 10);
    EXPECT_EQ(-1, ErrorOf([&] { out.FlushBlock(); }));

    CSafeDataFileIn closed;
    Bytes buffer(10);
    EXPECT_EQ(-1, ErrorOf([&] { closed.Read(buffer.data(), 1); }));
}

} // namespace
