#include "security.h"

#include "environment.h"

#include <memory>
#include <string.h>

SidHolder::~SidHolder() {
    if (sid != nullptr)
        FreeSid(sid);
}

namespace {

bool MakeSid(SID_IDENTIFIER_AUTHORITY authority, DWORD rid, SidHolder& holder) {
    return AllocateAndInitializeSid(&authority, 1, rid, 0, 0, 0, 0, 0, 0, 0, &holder.sid) != FALSE;
}

// ACL header; the header and access mask in front of each ACE's SID.
constexpr DWORD kAclHeaderSize = 8;
constexpr DWORD kAceFixedSize = 8;

} // namespace

BYTE* BuildSecurityDescriptor(SECURITY_DESCRIPTOR* sd, DWORD mask) {
    if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION))
        return nullptr;

    SidHolder anonymous, everyone, untrusted;
    if (!MakeSid(SECURITY_NT_AUTHORITY, SECURITY_ANONYMOUS_LOGON_RID, anonymous) ||
        !MakeSid(SECURITY_WORLD_SID_AUTHORITY, SECURITY_WORLD_RID, everyone))
        return nullptr;
    if (g_IsVistaOrLater &&
        !MakeSid(SECURITY_MANDATORY_LABEL_AUTHORITY, SECURITY_MANDATORY_UNTRUSTED_RID, untrusted))
        return nullptr;

    const DWORD daclSize =
        kAclHeaderSize + 2 * kAceFixedSize + GetLengthSid(everyone.sid) + GetLengthSid(anonymous.sid);
    const DWORD saclSize =
        g_IsVistaOrLater ? kAclHeaderSize + kAceFixedSize + GetLengthSid(untrusted.sid) : 0;
    std::unique_ptr<BYTE[]> block(new BYTE[daclSize + saclSize]);

    // A deny entry only works in front of the allow entry it restricts.
    auto* dacl = reinterpret_cast<ACL*>(block.get());
    memset(dacl, 0, daclSize);
    if (!InitializeAcl(dacl, daclSize, ACL_REVISION) ||
        !AddAccessDeniedAce(dacl, ACL_REVISION, mask, anonymous.sid) ||
        !AddAccessAllowedAce(dacl, ACL_REVISION, mask, everyone.sid) ||
        !SetSecurityDescriptorDacl(sd, TRUE, dacl, FALSE))
        return nullptr;

    if (g_IsVistaOrLater) {
        auto* sacl = reinterpret_cast<ACL*>(block.get() + daclSize);
        memset(sacl, 0, saclSize);
        if (g_pfnAddMandatoryAce == nullptr || !InitializeAcl(sacl, saclSize, ACL_REVISION) ||
            !g_pfnAddMandatoryAce(sacl, ACL_REVISION, 0, 0, untrusted.sid) ||
            !SetSecurityDescriptorSacl(sd, TRUE, sacl, FALSE))
            return nullptr;
    }
    return block.release();
}

int CreateServiceRunningEvent() {
    SECURITY_DESCRIPTOR sd;
    std::unique_ptr<BYTE[]> acls(BuildSecurityDescriptor(&sd, SYNCHRONIZE));
    if (!acls)
        return 0;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &sd, FALSE};
    // Never closed: the event must exist exactly as long as the service process. An event of
    // that name that exists already is opened, which serves as well.
    HANDLE event = CreateEventW(&attributes, TRUE, TRUE, L"Global\\VOLARIX_SR_EVENT");
    return event != nullptr ? 1 : 0;
}
