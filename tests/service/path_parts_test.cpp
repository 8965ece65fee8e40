#include "path_parts.h"

#include <gtest/gtest.h>

TEST(PathParts, FileNameIsTheTextAfterTheLastBackslash) {
    const wchar_t* path = L"C:\\upload\\dir.d\\report.tar.gz";
    EXPECT_EQ(path + 16, PathFileNamePart(path));
    const wchar_t* name = L"report.txt";
    EXPECT_EQ(name, PathFileNamePart(name));
    EXPECT_STREQ(L"", PathFileNamePart(L"C:\\upload\\"));
    EXPECT_STREQ(L"a/b", PathFileNamePart(L"x\\a/b"));
}

TEST(PathParts, ExtensionIsTheTextAfterTheLastDotPastTheFirstCharacter) {
    struct Case {
        const wchar_t* name;
        const wchar_t* extension;
    };
    const Case cases[] = {
        {L"report.txt", L"txt"},
        {L"report.tar.gz", L"gz"},
        {L".profile", L""},
        {L"report.", L""},
        {L"report", L""},
        {L"", L""},
        {L"..", L""},
        {L"a.b.", L""},
    };
    for (const Case& c : cases) {
        const wchar_t* extension = PathExtensionPart(c.name);
        EXPECT_STREQ(c.extension, extension) << c.name;
        // Always a pointer into the name itself, so that callers need not free anything.
        EXPECT_TRUE(extension >= c.name && extension <= c.name + wcslen(c.name)) << c.name;
    }
}

TEST(PathParts, ExtensionOfTheFileNamePartIgnoresDotsInFolders) {
    EXPECT_STREQ(L"", PathExtensionPart(PathFileNamePart(L"C:\\dir.d\\README")));
    EXPECT_STREQ(L"d\\README", PathExtensionPart(L"C:\\dir.d\\README"));
}
