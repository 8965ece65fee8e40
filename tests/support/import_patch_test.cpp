#include "import_patch.h"

#include <gtest/gtest.h>

static DWORD WINAPI FixedTickCount() { return 12345; }

TEST(ImportPatch, ReplacesAndRestoresAnImport) {
    {
        CImportPatch patch("kernel32.dll", "GetTickCount", reinterpret_cast<void*>(&FixedTickCount));
        ASSERT_TRUE(patch.Active());
        EXPECT_EQ(12345u, GetTickCount());
        EXPECT_NE(12345u, patch.Original<DWORD(WINAPI*)()>()());
    }
    EXPECT_NE(reinterpret_cast<void*>(&FixedTickCount), reinterpret_cast<void*>(&GetTickCount));
}

TEST(ImportPatch, UnknownImportStaysInactive) {
    CImportPatch patch("kernel32.dll", "NoSuchFunction", reinterpret_cast<void*>(&FixedTickCount));
    EXPECT_FALSE(patch.Active());
}
