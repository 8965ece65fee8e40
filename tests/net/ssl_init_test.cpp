#include "ssl_init.h"

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

// The checks read the group through the same deprecated DH interface the product hands it over with.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

TEST(CreateDhParams, IsThePublishedFfdhe2048Group) {
    DH* ours = CreateDhParams();
    ASSERT_NE(nullptr, ours);
    DH* reference = DH_new_by_nid(NID_ffdhe2048);
    ASSERT_NE(nullptr, reference);
    const BIGNUM *p, *g, *refP;
    DH_get0_pqg(ours, &p, nullptr, &g);
    DH_get0_pqg(reference, &refP, nullptr, nullptr);
    EXPECT_EQ(0, BN_cmp(p, refP));
    EXPECT_TRUE(BN_is_word(g, 2));
    EXPECT_EQ(2048, DH_bits(ours));
    DH_free(reference);
    DH_free(ours);
}

TEST(InitSsl, GroupIsAcceptedByATlsContextAndFreedAtCleanup) {
    ASSERT_TRUE(InitSsl());
    ASSERT_NE(nullptr, g_DhParams);
    SSL_CTX* ctx = SSL_CTX_new(TLS_method());
    ASSERT_NE(nullptr, ctx);
    // At the default security level, which refuses groups below 2048 bits.
    EXPECT_EQ(1, SSL_CTX_set_tmp_dh(ctx, g_DhParams));
    SSL_CTX_free(ctx);
    CleanupSsl();
    EXPECT_EQ(nullptr, g_DhParams);
}
