// The service executable's own resources, read from the built program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

class ServiceResources : public ::testing::Test {
  protected:
    void SetUp() override {
        m_module = LoadLibraryExA(VOLARIX_SERVICE_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, m_module);
    }
    void TearDown() override { FreeLibrary(m_module); }

    std::string Resource(LPCWSTR type, WORD language) {
        HRSRC info = FindResourceExW(m_module, type, MAKEINTRESOURCEW(1), language);
        if (info == nullptr)
            return std::string();
        const char* data = static_cast<const char*>(LockResource(LoadResource(m_module, info)));
        return std::string(data, SizeofResource(m_module, info));
    }

    HMODULE m_module = nullptr;
};

} // namespace

TEST_F(ServiceResources, MessageTableHoldsTheOneMessageByteForByte) {
    const unsigned char expected[36] = {
        1,   0, 0,   0, 1,    0, 0,    0, 1,    0, 0,    0, 16, 0, 0, 0, // one block: ids 1..1, entries at 16
        20,  0, 1,   0,                                                  // length 20, UTF-16 text
        '%', 0, '1', 0, '\r', 0, '\n', 0, '\r', 0, '\n', 0, 0,  0, 0, 0}; // "%1\r\n\r\n", zero, padding
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(expected), sizeof(expected)),
              Resource(MAKEINTRESOURCEW(11), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
}

TEST_F(ServiceResources, ManifestAsksForNoElevationAndNamesVistaTo10) {
    const std::string manifest = Resource(MAKEINTRESOURCEW(24), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    EXPECT_NE(std::string::npos, manifest.find(R"(level="asInvoker" uiAccess="false")"));
    for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(std::string::npos, manifest.find(os)) << os;
}

TEST_F(ServiceResources, VersionBlockCarriesTheProductStrings) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(VOLARIX_SERVICE_EXE, &handle);
    ASSERT_NE(0u, size);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(VOLARIX_SERVICE_EXE, 0, size, &block[0]));
    auto query = [&](const wchar_t* name) {
        void* value = nullptr;
        UINT length = 0;
        std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        return VerQueryValueW(block.data(), path.c_str(), &value, &length)
                   ? std::wstring(static_cast<wchar_t*>(value))
                   : std::wstring(L"(missing)");
    };
    EXPECT_EQ(L"Volarix", query(L"ProductName"));
    EXPECT_EQ(L"volarixsvc.exe", query(L"OriginalFilename"));
    EXPECT_EQ(L"Volarix Service", query(L"FileDescription"));
    EXPECT_EQ(L"volarixsvc", query(L"InternalName"));
    EXPECT_EQ(L"1.0.2.0", query(L"FileVersion"));
    EXPECT_EQ(L"1.0.2.0", query(L"ProductVersion"));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x04B00409u, *static_cast<DWORD*>(value));
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    const auto* fixed = static_cast<VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00020000u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00020000u, fixed->dwProductVersionLS);
}
