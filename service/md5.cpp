#include "md5.h"

#include "disk_file.h"

#include <cstring>

namespace {

const uint32_t kBlock = 64;
const uint32_t kFileChunk = 4096;

inline uint32_t Rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

inline uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// The round functions in forms that keep the dependency on the previous step's result (b) as
// short as possible: MD5 is one long serial chain, so its speed is the latency of that chain.
// F = (b & c) | (~b & d), selecting between c and d by b.
template <int S> inline void StepF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
    a += x + t + (d ^ (b & (c ^ d)));
    a = Rotl(a, S) + b;
}
// G = (b & d) | (c & ~d); the two terms never overlap, so they can be added, and c & ~d does not
// wait for b.
template <int S> inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
    a += x + t + (c & ~d);
    a += b & d;
    a = Rotl(a, S) + b;
}
template <int S> inline void StepH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
    a += x + t + (b ^ c ^ d);
    a = Rotl(a, S) + b;
}
template <int S> inline void StepI(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
    a += x + t + (c ^ (b | ~d));
    a = Rotl(a, S) + b;
}

void Compress(uint32_t state[4], const uint8_t* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = LoadLe32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    StepF<7>(a, b, c, d, x[0], 0xd76aa478);
    StepF<12>(d, a, b, c, x[1], 0xe8c7b756);
    StepF<17>(c, d, a, b, x[2], 0x242070db);
    StepF<22>(b, c, d, a, x[3], 0xc1bdceee);
    StepF<7>(a, b, c, d, x[4], 0xf57c0faf);
    StepF<12>(d, a, b, c, x[5], 0x4787c62a);
    StepF<17>(c, d, a, b, x[6], 0xa8304613);
    StepF<22>(b, c, d, a, x[7], 0xfd469501);
    StepF<7>(a, b, c, d, x[8], 0x698098d8);
    StepF<12>(d, a, b, c, x[9], 0x8b44f7af);
    StepF<17>(c, d, a, b, x[10], 0xffff5bb1);
    StepF<22>(b, c, d, a, x[11], 0x895cd7be);
    StepF<7>(a, b, c, d, x[12], 0x6b901122);
    StepF<12>(d, a, b, c, x[13], 0xfd987193);
    StepF<17>(c, d, a, b, x[14], 0xa679438e);
    StepF<22>(b, c, d, a, x[15], 0x49b40821);

    StepG<5>(a, b, c, d, x[1], 0xf61e2562);
    StepG<9>(d, a, b, c, x[6], 0xc040b340);
    StepG<14>(c, d, a, b, x[11], 0x265e5a51);
    StepG<20>(b, c, d, a, x[0], 0xe9b6c7aa);
    StepG<5>(a, b, c, d, x[5], 0xd62f105d);
    StepG<9>(d, a, b, c, x[10], 0x02441453);
    StepG<14>(c, d, a, b, x[15], 0xd8a1e681);
    StepG<20>(b, c, d, a, x[4], 0xe7d3fbc8);
    StepG<5>(a, b, c, d, x[9], 0x21e1cde6);
    StepG<9>(d, a, b, c, x[14], 0xc33707d6);
    StepG<14>(c, d, a, b, x[3], 0xf4d50d87);
    StepG<20>(b, c, d, a, x[8], 0x455a14ed);
    StepG<5>(a, b, c, d, x[13], 0xa9e3e905);
    StepG<9>(d, a, b, c, x[2], 0xfcefa3f8);
    StepG<14>(c, d, a, b, x[7], 0x676f02d9);
    StepG<20>(b, c, d, a, x[12], 0x8d2a4c8a);

    StepH<4>(a, b, c, d, x[5], 0xfffa3942);
    StepH<11>(d, a, b, c, x[8], 0x8771f681);
    StepH<16>(c, d, a, b, x[11], 0x6d9d6122);
    StepH<23>(b, c, d, a, x[14], 0xfde5380c);
    StepH<4>(a, b, c, d, x[1], 0xa4beea44);
    StepH<11>(d, a, b, c, x[4], 0x4bdecfa9);
    StepH<16>(c, d, a, b, x[7], 0xf6bb4b60);
    StepH<23>(b, c, d, a, x[10], 0xbebfbc70);
    StepH<4>(a, b, c, d, x[13], 0x289b7ec6);
    StepH<11>(d, a, b, c, x[0], 0xeaa127fa);
    StepH<16>(c, d, a, b, x[3], 0xd4ef3085);
    StepH<23>(b, c, d, a, x[6], 0x04881d05);
    StepH<4>(a, b, c, d, x[9], 0xd9d4d039);
    StepH<11>(d, a, b, c, x[12], 0xe6db99e5);
    StepH<16>(c, d, a, b, x[15], 0x1fa27cf8);
    StepH<23>(b, c, d, a, x[2], 0xc4ac5665);

    StepI<6>(a, b, c, d, x[0], 0xf4292244);
    StepI<10>(d, a, b, c, x[7], 0x432aff97);
    StepI<15>(c, d, a, b, x[14], 0xab9423a7);
    StepI<21>(b, c, d, a, x[5], 0xfc93a039);
    StepI<6>(a, b, c, d, x[12], 0x655b59c3);
    StepI<10>(d, a, b, c, x[3], 0x8f0ccc92);
    StepI<15>(c, d, a, b, x[10], 0xffeff47d);
    StepI<21>(b, c, d, a, x[1], 0x85845dd1);
    StepI<6>(a, b, c, d, x[8], 0x6fa87e4f);
    StepI<10>(d, a, b, c, x[15], 0xfe2ce6e0);
    StepI<15>(c, d, a, b, x[6], 0xa3014314);
    StepI<21>(b, c, d, a, x[13], 0x4e0811a1);
    StepI<6>(a, b, c, d, x[4], 0xf7537e82);
    StepI<10>(d, a, b, c, x[11], 0xbd3af235);
    StepI<15>(c, d, a, b, x[2], 0x2ad7d2bb);
    StepI<21>(b, c, d, a, x[9], 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

} // namespace

void Md5Init(Md5Context* ctx) {
    ctx->a = 0x67452301;
    ctx->b = 0xefcdab89;
    ctx->c = 0x98badcfe;
    ctx->d = 0x10325476;
    ctx->total[0] = 0;
    ctx->total[1] = 0;
    ctx->buffered = 0;
}

void Md5Transform(const void* data, uint64_t count, Md5Context* ctx) {
    const uint64_t total = ((uint64_t(ctx->total[1]) << 32) | ctx->total[0]) + count;
    ctx->total[0] = uint32_t(total);
    ctx->total[1] = uint32_t(total >> 32);

    uint32_t state[4] = {ctx->a, ctx->b, ctx->c, ctx->d};
    const uint8_t* block = static_cast<const uint8_t*>(data);
    for (uint64_t blocks = count / kBlock; blocks > 0; --blocks, block += kBlock)
        Compress(state, block);
    ctx->a = state[0];
    ctx->b = state[1];
    ctx->c = state[2];
    ctx->d = state[3];
}

void Md5Update(const void* data, uint64_t count, Md5Context* ctx) {
    if (count == 0)
        return;
    const uint8_t* input = static_cast<const uint8_t*>(data);
    if (ctx->buffered > 0) {
        const uint32_t room = sizeof ctx->buffer - ctx->buffered;
        const uint32_t take = count < room ? uint32_t(count) : room;
        memcpy(ctx->buffer + ctx->buffered, input, take);
        ctx->buffered += take;
        input += take;
        count -= take;
        // A buffer of exactly one block waits for more input or for Final.
        if (ctx->buffered > kBlock) {
            const uint32_t whole = ctx->buffered / kBlock * kBlock;
            Md5Transform(ctx->buffer, whole, ctx);
            ctx->buffered -= whole;
            memmove(ctx->buffer, ctx->buffer + whole, ctx->buffered);
        }
    }
    if (count >= kBlock) {
        const uint64_t whole = count / kBlock * kBlock;
        Md5Transform(input, whole, ctx);
        input += whole;
        count -= whole;
    }
    if (count > 0) {
        memcpy(ctx->buffer + ctx->buffered, input, size_t(count));
        ctx->buffered += uint32_t(count);
    }
}

uint8_t* Md5Final(Md5Context* ctx, uint8_t* out) {
    const uint32_t buffered = ctx->buffered;
    const uint64_t total = ((uint64_t(ctx->total[1]) << 32) | ctx->total[0]) + buffered;
    const uint32_t padding = buffered < 56 ? 56 - buffered : 120 - buffered;
    ctx->buffer[buffered] = 0x80;
    memset(ctx->buffer + buffered + 1, 0, padding - 1);
    const uint64_t bits = total << 3;
    StoreLe32(ctx->buffer + buffered + padding, uint32_t(bits));
    StoreLe32(ctx->buffer + buffered + padding + 4, uint32_t(bits >> 32));
    Md5Transform(ctx->buffer, buffered + padding + 8, ctx);
    return Md5Encode(ctx, out);
}

uint8_t* Md5Encode(const Md5Context* ctx, uint8_t* out) {
    StoreLe32(out, ctx->a);
    StoreLe32(out + 4, ctx->b);
    StoreLe32(out + 8, ctx->c);
    StoreLe32(out + 12, ctx->d);
    return out;
}

uint8_t* Md5Digest(const void* data, uint64_t count, uint8_t* out) {
    Md5Context ctx;
    Md5Init(&ctx);
    Md5Update(data, count, &ctx);
    return Md5Final(&ctx, out);
}

uint8_t* Md5DigestFile(CDiskFile& file, uint8_t* out) {
    Md5Context ctx;
    Md5Init(&ctx);
    uint8_t chunk[kFileChunk];
    uint32_t read;
    while ((read = file.Read(chunk, kFileChunk)) == kFileChunk)
        Md5Transform(chunk, kFileChunk, &ctx);
    if (read > 0)
        Md5Update(chunk, read, &ctx);
    return Md5Final(&ctx, out);
}
