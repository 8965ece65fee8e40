#include "mime_type.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class MimeTypeTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::wstring& key : m_keys)
            RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    }

    // Registers ".<extension>" with the given "Content Type" data, stored as given.
    void Register(const std::wstring& extension, const void* data, DWORD bytes, DWORD type = REG_SZ) {
        const std::wstring name = L"." + extension;
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        m_keys.push_back(name);
        if (data) {
            ASSERT_EQ(ERROR_SUCCESS,
                      RegSetValueExW(key, L"Content Type", 0, type, static_cast<const BYTE*>(data), bytes));
        }
        RegCloseKey(key);
    }
    void Register(const std::wstring& extension, const std::wstring& type) {
        Register(extension, type.c_str(), static_cast<DWORD>((type.size() + 1) * sizeof(wchar_t)));
    }

    static std::string TypeOf(const wchar_t* extension) {
        std::string out = "stale";
        GetMimeTypeForExtension(extension, out);
        return out;
    }

    std::vector<std::wstring> m_keys;
};

const std::string kOctets = "application/octet-stream";

} // namespace

TEST_F(MimeTypeTest, ReadsTheContentTypeOfTheExtension) {
    Register(L"vxtest-plain", L"text/x-volarix");
    EXPECT_EQ("text/x-volarix", TypeOf(L"vxtest-plain"));
}

TEST_F(MimeTypeTest, FallsBackWhenThereIsNoUsableType) {
    Register(L"vxtest-accent", L"text/caf\u00e9");
    Register(L"vxtest-novalue", nullptr, 0);
    Register(L"vxtest-empty", L"");
    EXPECT_EQ(kOctets, TypeOf(L"vxtest-accent"));
    EXPECT_EQ(kOctets, TypeOf(L"vxtest-novalue"));
    EXPECT_EQ(kOctets, TypeOf(L"vxtest-empty"));
    EXPECT_EQ(kOctets, TypeOf(L"vxtest-missing"));
    EXPECT_EQ(kOctets, TypeOf(L""));
}

TEST_F(MimeTypeTest, ValueOfFiveHundredTwelveBytesIsTheLimit) {
    const std::wstring full(256, L'f');
    // Wine adds the missing terminator to string values; a binary value keeps the 512 bytes.
    Register(L"vxtest-full", full.data(), 512, REG_BINARY);
    EXPECT_EQ(std::string(256, 'f'), TypeOf(L"vxtest-full")) << "a value without a terminator still ends";

    Register(L"vxtest-long", std::wstring(256, L'g'));
    EXPECT_EQ(kOctets, TypeOf(L"vxtest-long")) << "with its terminator the value needs 514 bytes";

    Register(L"vxtest-fits", std::wstring(255, L'h'));
    EXPECT_EQ(std::string(255, 'h'), TypeOf(L"vxtest-fits"));
}
