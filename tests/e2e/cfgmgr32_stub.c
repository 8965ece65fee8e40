/* A stand-in for the configuration manager, which Wine only stubs, for the service's end-to-end
 * tests: the volume manager's node has one child, the volume device behind the prefix's C:
 * drive. It is loaded in place of Wine's own through a per-program DLL override. */
#include <windows.h>

typedef DWORD CONFIGRET;
typedef DWORD DEVINST;

#define CR_SUCCESS 0x00
#define CR_INVALID_POINTER 0x03
#define CR_NO_SUCH_DEVNODE 0x0D
#define CR_BUFFER_SMALL 0x1A
#define CR_NO_SUCH_VALUE 0x25
#define CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0F

enum { NODE_VOLUME_MANAGER = 1, NODE_VOLUME = 2 };

static const WCHAR g_VolumeManager[] = L"ROOT\\VOLMGR\\0000";
static const WCHAR g_VolumeDevice[] = L"\\Device\\HarddiskVolume1";

__declspec(dllexport) CONFIGRET WINAPI CM_Locate_DevNodeW(DEVINST* node, WCHAR* id, ULONG flags) {
    (void)flags;
    if (!node)
        return CR_INVALID_POINTER;
    if (!id || lstrcmpiW(id, g_VolumeManager) != 0)
        return CR_NO_SUCH_DEVNODE;
    *node = NODE_VOLUME_MANAGER;
    return CR_SUCCESS;
}

__declspec(dllexport) CONFIGRET WINAPI CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) {
    (void)flags;
    if (!child)
        return CR_INVALID_POINTER;
    if (node != NODE_VOLUME_MANAGER)
        return CR_NO_SUCH_DEVNODE;
    *child = NODE_VOLUME;
    return CR_SUCCESS;
}

__declspec(dllexport) CONFIGRET WINAPI CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) {
    (void)sibling;
    (void)node;
    (void)flags;
    return CR_NO_SUCH_DEVNODE;
}

__declspec(dllexport) CONFIGRET WINAPI
    CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* type, void* buffer, ULONG* length,
                                      ULONG flags) {
    (void)flags;
    if (!length)
        return CR_INVALID_POINTER;
    if (node != NODE_VOLUME || property != CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME)
        return CR_NO_SUCH_VALUE;
    if (type)
        *type = REG_SZ;
    if (!buffer || *length < sizeof(g_VolumeDevice)) {
        *length = sizeof(g_VolumeDevice);
        return CR_BUFFER_SMALL;
    }
    memcpy(buffer, g_VolumeDevice, sizeof(g_VolumeDevice));
    *length = sizeof(g_VolumeDevice);
    return CR_SUCCESS;
}
