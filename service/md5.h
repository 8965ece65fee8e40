#pragma once
// The MD5 message digest of RFC 1321. The context lives in the caller's storage; nothing is
// allocated.
#include <cstdint>

class CDiskFile;

struct Md5Context {
    uint32_t a, b, c, d;
    uint32_t total[2]; // bytes compressed so far, low word first
    uint32_t buffered; // bytes waiting in buffer, 0 to 64
    uint8_t buffer[128];
};

const unsigned kMd5DigestSize = 16;

void Md5Init(Md5Context* ctx);
void Md5Update(const void* data, uint64_t count, Md5Context* ctx);
// Compresses count bytes, a multiple of 64, straight from data.
void Md5Transform(const void* data, uint64_t count, Md5Context* ctx);
// Pads and writes the digest; the context is spent. Returns out.
uint8_t* Md5Final(Md5Context* ctx, uint8_t* out);
// Writes the chaining state as a digest. Returns out.
uint8_t* Md5Encode(const Md5Context* ctx, uint8_t* out);
uint8_t* Md5Digest(const void* data, uint64_t count, uint8_t* out);
// Digest of the file from its current position to its end. A CDiskFileException* thrown by the
// file's Read passes to the caller, and out is then not written.
uint8_t* Md5DigestFile(CDiskFile& file, uint8_t* out);
