#include "md5.h"

#include "disk_file.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Hex(const uint8_t* digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < kMd5DigestSize; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}

std::string Ours(const void* data, size_t size) {
    uint8_t digest[kMd5DigestSize];
    return Hex(Md5Digest(data, size, digest));
}

std::string Pieces(const uint8_t* data, const std::vector<size_t>& pieces) {
    Md5Context ctx;
    Md5Init(&ctx);
    for (size_t piece : pieces) {
        Md5Update(data, piece, &ctx);
        data += piece;
    }
    uint8_t digest[kMd5DigestSize];
    return Hex(Md5Final(&ctx, digest));
}

std::string OpenSsl(const void* data, size_t size) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(1, EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr));
    return Hex(digest);
}

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

} // namespace

TEST(Md5, RfcSuiteWholeAndInEveryTwoPieces) {
    struct Case {
        const char* message;
        const char* digest;
    };
    const Case suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : suite) {
        const size_t size = strlen(c.message);
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.message);
        EXPECT_EQ(c.digest, Ours(c.message, size)) << '"' << c.message << '"';
        for (size_t split = 0; split <= size; ++split)
            EXPECT_EQ(c.digest, Pieces(bytes, {split, size - split}))
                << '"' << c.message << "\" split " << split;
        EXPECT_EQ(c.digest, Pieces(bytes, std::vector<size_t>(size, 1))) << '"' << c.message << "\" bytewise";
    }
}

TEST(Md5, BlockAndPaddingBoundariesInEveryThreePieces) {
    std::mt19937 random(55);
    for (size_t size : {55, 56, 63, 64, 65, 119, 120, 127, 128, 129}) {
        const std::vector<uint8_t> message = RandomBytes(random, size);
        const std::string expected = OpenSsl(message.data(), size);
        EXPECT_EQ(expected, Ours(message.data(), size)) << size;
        // Includes the splits that leave exactly one block waiting in the buffer (for example
        // 10 + 54), which must not be compressed twice or skipped.
        for (size_t first = 0; first <= size; ++first) {
            for (size_t second = 0; first + second <= size; ++second) {
                ASSERT_EQ(expected, Pieces(message.data(), {first, second, size - first - second}))
                    << size << " bytes as " << first << " + " << second << " + rest";
            }
        }
    }
}

TEST(Md5, RandomMessagesInRandomPiecesMatchOpenSsl) {
    std::mt19937 random(1321);
    for (int round = 0; round < 300; ++round) {
        const size_t size = random() % (round < 200 ? 700 : 70000);
        const std::vector<uint8_t> message = RandomBytes(random, size);
        std::vector<size_t> pieces;
        for (size_t left = size; left > 0;) {
            const size_t limit = random() % 4 == 0 ? 5000 : 130;
            const size_t piece = std::min(left, static_cast<size_t>(random() % (limit + 1)));
            pieces.push_back(piece);
            left -= piece;
        }
        ASSERT_EQ(OpenSsl(message.data(), size), Pieces(message.data(), pieces)) << "round " << round;
    }
}

TEST(Md5, TransformCompressesWholeBlocksAndCountsThem) {
    std::mt19937 random(4096);
    const std::vector<uint8_t> message = RandomBytes(random, 64 * 5 + 17);
    Md5Context ctx;
    Md5Init(&ctx);
    Md5Transform(message.data(), 64 * 5, &ctx);
    EXPECT_EQ(320u, ctx.total[0]);
    EXPECT_EQ(0u, ctx.buffered);
    Md5Update(message.data() + 320, 17, &ctx);
    uint8_t digest[kMd5DigestSize];
    EXPECT_EQ(OpenSsl(message.data(), message.size()), Hex(Md5Final(&ctx, digest)));

    Md5Init(&ctx);
    EXPECT_EQ("0123456789abcdeffedcba9876543210", Hex(Md5Encode(&ctx, digest)));
}

namespace {

// size zero bytes at one address, made of views of one small zero-filled section laid side by side:
// reading fresh anonymous memory page by page costs far more than digesting it.
class CZeroSpan {
  public:
    explicit CZeroSpan(uint64_t size) {
        m_section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, kView, nullptr);
        if (!m_section)
            return;
        const size_t views = static_cast<size_t>((size + kView - 1) / kView);
        // Another thread may take part of the range between its release and the mapping of the
        // views; then try again elsewhere.
        for (int attempt = 0; attempt < 8 && !m_base; ++attempt) {
            auto* base =
                static_cast<uint8_t*>(VirtualAlloc(nullptr, views * kView, MEM_RESERVE, PAGE_NOACCESS));
            if (!base)
                return;
            VirtualFree(base, 0, MEM_RELEASE);
            while (m_views.size() < views) {
                void* view =
                    MapViewOfFileEx(m_section, FILE_MAP_READ, 0, 0, kView, base + m_views.size() * kView);
                if (!view)
                    break;
                m_views.push_back(view);
            }
            if (m_views.size() == views)
                m_base = base;
            else
                Unmap();
        }
    }
    ~CZeroSpan() {
        Unmap();
        if (m_section)
            CloseHandle(m_section);
    }
    const uint8_t* Data() const { return m_base; }
    const uint8_t* View() const {
        return m_views.empty() ? nullptr : static_cast<const uint8_t*>(m_views[0]);
    }
    static const DWORD kView = 64 << 20;

  private:
    void Unmap() {
        for (void* view : m_views)
            UnmapViewOfFile(view);
        m_views.clear();
    }

    HANDLE m_section = nullptr;
    std::vector<void*> m_views;
    const uint8_t* m_base = nullptr;
};

} // namespace

// A message of 2^32 + 1000 zero bytes, digested by an independent tool.
TEST(Md5, MessageLongerThanFourGiBCarriesTheCountIntoTheHighWord) {
    const uint64_t size = (uint64_t(1) << 32) + 1000;
    const std::string expected = "c3585f1f6d53b90833000eb563ed8e9a";
    const CZeroSpan zeros(size);
    ASSERT_NE(nullptr, zeros.Data());

    std::string bigPiece;
    std::thread big([&] {
        // A piece of 2^32 bytes behind a few buffered ones: a count cut to 32 bits would lose it.
        Md5Context ctx;
        Md5Init(&ctx);
        Md5Update(zeros.Data(), 7, &ctx);
        Md5Update(zeros.Data() + 7, uint64_t(1) << 32, &ctx);
        Md5Update(zeros.Data() + 7 + (uint64_t(1) << 32), 993, &ctx);
        uint8_t digest[kMd5DigestSize];
        bigPiece = Hex(Md5Final(&ctx, digest));
    });
    // The same message fed again and again from one view in uneven pieces, so that the count
    // crosses 2^32 between two additions.
    Md5Context ctx;
    Md5Init(&ctx);
    uint64_t left = size;
    for (size_t piece = 1; left > 0; piece = (piece * 7919 + 13) % CZeroSpan::kView) {
        const uint64_t take = std::min<uint64_t>(left, piece);
        Md5Update(zeros.View(), take, &ctx);
        left -= take;
    }
    EXPECT_EQ(1u, ctx.total[1]);
    uint8_t digest[kMd5DigestSize];
    EXPECT_EQ(expected, Hex(Md5Final(&ctx, digest)));
    big.join();
    EXPECT_EQ(expected, bigPiece);
}

namespace {

class Md5FileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_path = temp + std::wstring(L"md5_test_") + std::to_wstring(GetCurrentProcessId()) + L".bin";
    }
    void TearDown() override { DeleteFileW(m_path.c_str()); }

    void Write(const std::vector<uint8_t>& bytes) {
        CDiskFile file;
        file.Open(m_path.c_str(), 0x1021);
        file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

    std::wstring m_path;
};

// Records what is asked of Read, and can fail after a number of reads.
class CRecordingFile : public CDiskFile {
  public:
    uint32_t Read(void* buffer, uint32_t count) override {
        counts.push_back(count);
        if (failAfter >= 0 && static_cast<int>(counts.size()) > failAfter)
            throw new CDiskFileException(ERROR_CRC);
        return CDiskFile::Read(buffer, count);
    }
    std::vector<uint32_t> counts;
    int failAfter = -1;
};

} // namespace

TEST_F(Md5FileTest, DigestsFilesOfEveryLengthAroundTheReadSize) {
    std::mt19937 random(4097);
    for (size_t size : {0, 1, 4095, 4096, 4097, 3 * 4096, 3 * 4096 + 100}) {
        const std::vector<uint8_t> bytes = RandomBytes(random, size);
        Write(bytes);
        CRecordingFile file;
        file.Open(m_path.c_str(), 0x20);
        uint8_t digest[kMd5DigestSize];
        EXPECT_EQ(OpenSsl(bytes.data(), size), Hex(Md5DigestFile(file, digest))) << size;
        EXPECT_EQ(std::vector<uint32_t>(size / 4096 + 1, 4096), file.counts) << size;
    }
}

TEST_F(Md5FileTest, DigestsFromTheCurrentPosition) {
    std::mt19937 random(1000);
    const std::vector<uint8_t> bytes = RandomBytes(random, 9000);
    Write(bytes);
    CDiskFile file;
    file.Open(m_path.c_str(), 0x20);
    file.Seek(1000, 0);
    uint8_t digest[kMd5DigestSize];
    EXPECT_EQ(OpenSsl(bytes.data() + 1000, 8000), Hex(Md5DigestFile(file, digest)));
}

TEST_F(Md5FileTest, ReadFailurePassesToTheCallerAndLeavesTheOutputAlone) {
    Write(std::vector<uint8_t>(10000, 1));
    CRecordingFile file;
    file.Open(m_path.c_str(), 0x20);
    file.failAfter = 1;
    uint8_t digest[kMd5DigestSize];
    memset(digest, 0xAA, sizeof digest);
    uint32_t error = 0;
    try {
        Md5DigestFile(file, digest);
    } catch (CDiskFileException* e) {
        error = e->Error();
        delete e;
    }
    EXPECT_EQ(static_cast<uint32_t>(ERROR_CRC), error);
    EXPECT_EQ(std::string(32, 'a'), Hex(digest));
}
