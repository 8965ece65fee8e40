/* A stand-in for the configuration manager, which Wine only stubs, for the service's end-to-end
 * tests and the run script: the volume manager's node has one child for each line of the file
 * volumes.txt beside this DLL, an NT device name such as \Device\HarddiskVolume7, in file order.
 * It is loaded in place of Wine's own through a per-program DLL override. */
#include <windows.h>

#include <wchar.h>

typedef DWORD CONFIGRET;
typedef DWORD DEVINST;

#define CR_SUCCESS 0x00
#define CR_INVALID_POINTER 0x03
#define CR_NO_SUCH_DEVNODE 0x0D
#define CR_BUFFER_SMALL 0x1A
#define CR_NO_SUCH_VALUE 0x25
#define CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0F
#define DN_DRIVER_LOADED 0x02
#define DN_STARTED 0x08

/* Node numbers: the volume manager, then its children from here on. */
enum { NODE_VOLUME_MANAGER = 1, NODE_FIRST_VOLUME = 2 };

/* The list is written by hand or by a script: more devices than a test presents, or longer names,
 * mean a broken file, and the list is then taken as empty. */
#define MAX_VOLUMES 16
#define MAX_NAME_UNITS 64
#define MAX_LIST_BYTES (MAX_VOLUMES * (MAX_NAME_UNITS + 2))

static const WCHAR g_VolumeManager[] = L"ROOT\\VOLMGR\\0000";
static const WCHAR g_ListName[] = L"volumes.txt";

static WCHAR g_Volumes[MAX_VOLUMES][MAX_NAME_UNITS + 1];
static DWORD g_VolumeCount;
static INIT_ONCE g_LoadOnce = INIT_ONCE_STATIC_INIT;

/* Reads the list into g_Volumes; ASCII lines, CR LF or LF, empty lines skipped. */
static void LoadVolumeList(void) {
    WCHAR path[MAX_PATH];
    char bytes[MAX_LIST_BYTES + 1];
    HMODULE self = NULL;
    DWORD length, read = 0, i, units = 0;
    WCHAR* slash;
    HANDLE file;

    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)&LoadVolumeList, &self))
        return;
    length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    slash = wcsrchr(path, L'\\');
    if (!slash || (size_t)(slash + 1 - path) + ARRAYSIZE(g_ListName) > MAX_PATH)
        return;
    lstrcpyW(slash + 1, g_ListName);
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (!ReadFile(file, bytes, sizeof(bytes), &read, NULL) || read > MAX_LIST_BYTES)
        read = 0;
    CloseHandle(file);
    bytes[read] = '\n';

    for (i = 0; i <= read; ++i) {
        char c = bytes[i];
        if (c == '\r')
            continue;
        if (c == '\n') {
            if (units != 0) {
                g_Volumes[g_VolumeCount][units] = 0;
                ++g_VolumeCount;
                units = 0;
            }
            continue;
        }
        if (g_VolumeCount == MAX_VOLUMES || units == MAX_NAME_UNITS || (unsigned char)c > 0x7F) {
            g_VolumeCount = 0;
            return;
        }
        g_Volumes[g_VolumeCount][units++] = (WCHAR)c;
    }
}

static BOOL CALLBACK LoadOnce(INIT_ONCE* once, void* parameter, void** context) {
    (void)once;
    (void)parameter;
    (void)context;
    LoadVolumeList();
    return TRUE;
}

static DWORD VolumeCount(void) {
    InitOnceExecuteOnce(&g_LoadOnce, LoadOnce, NULL, NULL);
    return g_VolumeCount;
}

static BOOL IsVolumeNode(DEVINST node) {
    return node >= NODE_FIRST_VOLUME && node - NODE_FIRST_VOLUME < VolumeCount();
}

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
    if (node != NODE_VOLUME_MANAGER || VolumeCount() == 0)
        return CR_NO_SUCH_DEVNODE;
    *child = NODE_FIRST_VOLUME;
    return CR_SUCCESS;
}

__declspec(dllexport) CONFIGRET WINAPI CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) {
    (void)flags;
    if (!sibling)
        return CR_INVALID_POINTER;
    if (!IsVolumeNode(node) || !IsVolumeNode(node + 1))
        return CR_NO_SUCH_DEVNODE;
    *sibling = node + 1;
    return CR_SUCCESS;
}

/* The list never changes while the DLL is loaded, so every node it names is present and started. */
__declspec(dllexport) CONFIGRET WINAPI
    CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) {
    (void)flags;
    if (!status || !problem)
        return CR_INVALID_POINTER;
    if (node != NODE_VOLUME_MANAGER && !IsVolumeNode(node))
        return CR_NO_SUCH_DEVNODE;
    *status = DN_DRIVER_LOADED | DN_STARTED;
    *problem = 0;
    return CR_SUCCESS;
}

__declspec(dllexport) CONFIGRET WINAPI
    CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* type, void* buffer, ULONG* length,
                                      ULONG flags) {
    const WCHAR* name;
    ULONG size;
    (void)flags;
    if (!length)
        return CR_INVALID_POINTER;
    if (!IsVolumeNode(node) || property != CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME)
        return CR_NO_SUCH_VALUE;
    name = g_Volumes[node - NODE_FIRST_VOLUME];
    size = (ULONG)((lstrlenW(name) + 1) * sizeof(WCHAR));
    if (type)
        *type = REG_SZ;
    if (!buffer || *length < size) {
        *length = size;
        return CR_BUFFER_SMALL;
    }
    memcpy(buffer, name, size);
    *length = size;
    return CR_SUCCESS;
}
