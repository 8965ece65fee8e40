/* A stand-in for the APFS file-system driver, for the service's end-to-end tests: it creates
 * the control device \\.\volax and answers the version handshake. The value "Answer"
 * (REG_BINARY) in its service key replaces the magic it answers, so that tests can make it
 * answer other bytes or fewer; each request's input is kept in the value "LastRequest". Both
 * are read and written on every request, so a test changes the answer without reloading. */
#include <ntddk.h>

#define IOCTL_DRIVER_HANDSHAKE 0x0008E000
#define HANDSHAKE_INPUT_SIZE 16
#define MAX_ANSWER_SIZE 64

static UNICODE_STRING g_DeviceName = RTL_CONSTANT_STRING(L"\\Device\\volax");
static UNICODE_STRING g_LinkName = RTL_CONSTANT_STRING(L"\\DosDevices\\volax");
static WCHAR g_KeyPathBuffer[512];
static UNICODE_STRING g_KeyPath;

static HANDLE OpenServiceKey(ACCESS_MASK access)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;
    InitializeObjectAttributes(&attributes, &g_KeyPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, access, &attributes)))
        return NULL;
    return key;
}

/* The configured answer, or 0 when none is set (then the real magic is answered). */
static ULONG ReadAnswer(UCHAR* answer, ULONG capacity)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"Answer");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + MAX_ANSWER_SIZE];
    KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    ULONG length = 0, size = 0;
    HANDLE key = OpenServiceKey(KEY_QUERY_VALUE);
    if (key == NULL)
        return 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(buffer),
                                   &length)) &&
        info->Type == REG_BINARY) {
        size = info->DataLength < capacity ? info->DataLength : capacity;
        RtlCopyMemory(answer, info->Data, size);
    }
    ZwClose(key);
    return size;
}

static void KeepRequest(const void* input, ULONG size)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"LastRequest");
    HANDLE key = OpenServiceKey(KEY_SET_VALUE);
    if (key == NULL)
        return;
    ZwSetValueKey(key, &name, 0, REG_BINARY, (void*)input, size);
    ZwClose(key);
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS DispatchCreateClose(DEVICE_OBJECT* device, IRP* irp)
{
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchDeviceControl(DEVICE_OBJECT* device, IRP* irp)
{
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    UCHAR answer[MAX_ANSWER_SIZE];
    ULONG size;
    (void)device;

    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_DRIVER_HANDSHAKE)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (inSize != HANDSHAKE_INPUT_SIZE)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    KeepRequest(buffer, inSize);

    size = ReadAnswer(answer, sizeof(answer));
    if (size == 0) {
        RtlCopyMemory(answer, "VLRX", 4);
        size = 4;
    }
    if (size > outSize)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlCopyMemory(buffer, answer, size);
    return Complete(irp, STATUS_SUCCESS, size);
}

static void DriverUnload(DRIVER_OBJECT* driver)
{
    IoDeleteSymbolicLink(&g_LinkName);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath)
{
    DEVICE_OBJECT* device = NULL;
    NTSTATUS status;

    g_KeyPath.Buffer = g_KeyPathBuffer;
    g_KeyPath.Length = 0;
    g_KeyPath.MaximumLength = sizeof(g_KeyPathBuffer);
    RtlCopyUnicodeString(&g_KeyPath, registryPath);

    status = IoCreateDevice(driver, 0, &g_DeviceName, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE,
                            &device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&g_LinkName, &g_DeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
