#include "security.h"

#include "environment.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
// aclapi.h maps this name to an API function of its own.
#undef BuildSecurityDescriptor

#include <memory>
#include <string>

namespace {

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"?";
    std::wstring result = text;
    LocalFree(text);
    return result;
}

struct AceView {
    BYTE type;
    ACCESS_MASK mask;
    std::wstring sid;
};

// Every ACE of the allowed/denied/label kinds share the layout header, mask, SID.
AceView Ace(PACL acl, DWORD index) {
    void* ace = nullptr;
    if (!GetAce(acl, index, &ace))
        return {0xFF, 0, L""};
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    return {allowed->Header.AceType, allowed->Mask, SidText(&allowed->SidStart)};
}

class SecurityDescriptor : public ::testing::Test {
  protected:
    void SetUp() override {
        ReadOsVersion();
        ASSERT_EQ(1, InitMandatoryLabelSupport());
    }
};

} // namespace

TEST_F(SecurityDescriptor, DeniesAnonymousFirstAndLabelsUntrusted) {
    SECURITY_DESCRIPTOR sd;
    std::unique_ptr<BYTE[]> block(BuildSecurityDescriptor(&sd, SYNCHRONIZE));
    ASSERT_NE(nullptr, block);

    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(reinterpret_cast<PACL>(block.get()), dacl);
    ASSERT_EQ(2, dacl->AceCount);
    AceView deny = Ace(dacl, 0), allow = Ace(dacl, 1);
    EXPECT_EQ(ACCESS_DENIED_ACE_TYPE, deny.type);
    EXPECT_EQ(static_cast<ACCESS_MASK>(SYNCHRONIZE), deny.mask);
    EXPECT_EQ(L"S-1-5-7", deny.sid);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allow.type);
    EXPECT_EQ(static_cast<ACCESS_MASK>(SYNCHRONIZE), allow.mask);
    EXPECT_EQ(L"S-1-1-0", allow.sid);
    // Exactly sized: header, two ACE heads and masks, the two SIDs.
    EXPECT_EQ(8 + 2 * 8 + 12 + 12, dacl->AclSize);

    PACL sacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(&sd, &present, &sacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(reinterpret_cast<PACL>(block.get() + dacl->AclSize), sacl);
    ASSERT_EQ(1, sacl->AceCount);
    AceView label = Ace(sacl, 0);
    EXPECT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, label.type);
    EXPECT_EQ(0u, label.mask);
    EXPECT_EQ(L"S-1-16-0", label.sid);
    EXPECT_EQ(8 + 8 + 12, sacl->AclSize);
}

TEST_F(SecurityDescriptor, CarriesNoLabelBeforeWindows6) {
    g_IsVistaOrLater = 0;
    SECURITY_DESCRIPTOR sd;
    std::unique_ptr<BYTE[]> block(BuildSecurityDescriptor(&sd, GENERIC_READ));
    ASSERT_NE(nullptr, block);
    BOOL present = TRUE, defaulted = FALSE;
    PACL sacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(&sd, &present, &sacl, &defaulted));
    EXPECT_FALSE(present);
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_EQ(static_cast<ACCESS_MASK>(GENERIC_READ), Ace(dacl, 0).mask);
}

TEST_F(SecurityDescriptor, ServiceRunningEventIsSignalledAndKeepsItsDacl) {
    ASSERT_EQ(1, CreateServiceRunningEvent());
    HANDLE event = OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, L"Global\\VOLARIX_SR_EVENT");
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));

    // Integrity labels are not kept by every system; the DACL is, in its order.
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, &dacl, nullptr, &sd));
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(2, dacl->AceCount);
    EXPECT_EQ(ACCESS_DENIED_ACE_TYPE, Ace(dacl, 0).type);
    EXPECT_EQ(L"S-1-5-7", Ace(dacl, 0).sid);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, Ace(dacl, 1).type);
    EXPECT_EQ(L"S-1-1-0", Ace(dacl, 1).sid);
    LocalFree(sd);
    CloseHandle(event);
}
