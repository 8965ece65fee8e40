#include "ssl_init.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <string>

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

TEST(InitSsl, FoldersOpenSslNamesLieUnderProgramFiles) {
    // A configuration in one of them could load any library into the service. A path without a
    // drive, as a build machine's own folder is, opens on the current drive, where any user may
    // create it; Program Files only administrators can change.
    wchar_t programFiles[MAX_PATH];
    ASSERT_EQ(S_OK,
              SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles));
    const std::string root = std::string(programFiles, programFiles + wcslen(programFiles)) + "\\";
    for (int which : {OPENSSL_INFO_CONFIG_DIR, OPENSSL_INFO_ENGINES_DIR, OPENSSL_INFO_MODULES_DIR}) {
        const char* named = OPENSSL_info(which);
        ASSERT_NE(nullptr, named) << which;
        std::string folder = named;
        std::replace(folder.begin(), folder.end(), '/', '\\');
        EXPECT_EQ(0, _strnicmp(folder.c_str(), root.c_str(), root.size())) << named;
    }
}
