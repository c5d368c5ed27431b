/* FnKbdStandIn.sys: a HID minidriver that plays the package's external keyboards.
 * Each root device it drives is named ROOT\VID_xxxx&PID_yyyy&COLnn\0000: the name gives the
 * vendor and product ids and the top-level collection played (COL01 the keyboard, COL02 the
 * vendor collection 0xFFA0/1 with output report 9; no COL suffix: both in one device). Report 9
 * is 3 bytes long, FN_KBD_LONG_REPORT_BYTES for a keyboard of FN_KBD_LONG_REPORT_VENDOR.
 * Every output report is recorded under the service key (see KeyboardStandIn.h); a keyboard
 * given the HoldWrites fault leaves its writes pending instead, until it is removed. */
#include <ntddk.h>
#include <hidusage.h>
#include <hidclass.h>
#include "KeyboardStandIn.h"

/* The minidriver interface that MinGW's DDK headers lack or define wrongly. */
#undef IOCTL_HID_GET_DEVICE_DESCRIPTOR
#undef IOCTL_HID_GET_REPORT_DESCRIPTOR
#undef IOCTL_HID_READ_REPORT
#undef IOCTL_HID_WRITE_REPORT
#undef IOCTL_HID_GET_STRING
#undef IOCTL_HID_GET_DEVICE_ATTRIBUTES
#define IOCTL_HID_GET_DEVICE_DESCRIPTOR HID_CTL_CODE(0)
#define IOCTL_HID_GET_REPORT_DESCRIPTOR HID_CTL_CODE(1)
#define IOCTL_HID_READ_REPORT HID_CTL_CODE(2)
#define IOCTL_HID_WRITE_REPORT HID_CTL_CODE(3)
#define IOCTL_HID_GET_STRING HID_CTL_CODE(4)
#define IOCTL_HID_ACTIVATE_DEVICE HID_CTL_CODE(7)
#define IOCTL_HID_DEACTIVATE_DEVICE HID_CTL_CODE(8)
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES HID_CTL_CODE(9)

typedef struct {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} HID_MINIDRIVER_REGISTRATION;
typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject, NextDeviceObject;
    PVOID MiniDeviceExtension;
} HID_DEVICE_EXTENSION;
typedef struct {
    ULONG Size;
    USHORT VendorID, ProductID, VersionNumber, Reserved[11];
} HID_DEVICE_ATTRIBUTES;
#pragma pack(push, 1)
typedef struct {
    UCHAR bLength, bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry, bNumDescriptors, bReportType;
    USHORT wReportLength;
} HID_DESCRIPTOR;
#pragma pack(pop)
NTSTATUS NTAPI HidRegisterMinidriver(HID_MINIDRIVER_REGISTRATION *registration);

static const UCHAR KeyboardCollection[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01,                   /* keyboard, report 1 */
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,
    0x81, 0x02,                                                       /* modifiers */
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x95, 0x05, 0x91, 0x02,       /* LEDs */
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x25, 0x65, 0x75, 0x08, 0x95, 0x06, 0x81, 0x00,
    0xC0};
static const UCHAR VendorCollection[] = {
    0x06, 0xA0, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x09,             /* 0xFFA0/1, report 9 */
    0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x02, 0x91, 0x02,
    0x09, 0x02, 0x81, 0x02,
    0xC0};
/* Where VendorCollection gives its reports' count of data bytes. */
#define VENDOR_REPORT_COUNT_AT 19

typedef struct {
    USHORT vid, pid, collection;
    WCHAR keyboard[FN_KBD_NAME_CHARS];  /* VID_xxxx&PID_yyyy: the key of its records */
    WCHAR product[64];
    KSPIN_LOCK lock;
    PIRP pendingRead;  /* input never comes: held until cancelled or removed */
    PIRP pendingWrite;  /* a write held by the HoldWrites fault, the same way */
} KEYBOARD;

static WCHAR g_reportsPath[300], g_faultsPath[300];
static KMUTEX g_recordLock;

static KEYBOARD *Keyboard(PDEVICE_OBJECT fdo)
{
    return ((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->MiniDeviceExtension;
}

static int HexDigits(const WCHAR *text, int count, USHORT *value)
{
    *value = 0;
    for (int i = 0; i < count; ++i) {
        WCHAR c = text[i];
        int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10
                  : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
        if (digit < 0) return 0;
        *value = (USHORT)(*value * 16 + digit);
    }
    return 1;
}

/* Reads "VID_xxxx&PID_yyyy[&COLnn]" from a device id such as ROOT\VID_7A7A&PID_0101&COL02. */
static int ParseDeviceId(const WCHAR *id, KEYBOARD *k)
{
    const WCHAR *name = wcsrchr(id, L'\\');
    name = name ? name + 1 : id;
    if (wcslen(name) < 17 || _wcsnicmp(name, L"VID_", 4) || _wcsnicmp(name + 8, L"&PID_", 5) ||
        !HexDigits(name + 4, 4, &k->vid) || !HexDigits(name + 13, 4, &k->pid))
        return 0;
    k->collection = 0;
    if (!_wcsnicmp(name + 17, L"&COL", 4) && !HexDigits(name + 21, 2, &k->collection)) return 0;
    memcpy(k->keyboard, name, 17 * sizeof(WCHAR));
    k->keyboard[17] = 0;
    wcscpy(k->product, L"Stand-in keyboard ");
    wcscat(k->product, k->keyboard);
    return 1;
}

static WCHAR *QueryDeviceId(PDEVICE_OBJECT pdo)
{
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, NULL, 0, NULL, &done, &io);
    if (!irp) return NULL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = BusQueryDeviceID;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return NT_SUCCESS(io.Status) ? (WCHAR *)io.Information : NULL;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo)
{
    (void)driver;
    KEYBOARD *k = Keyboard(fdo);
    RtlZeroMemory(k, sizeof(*k));
    KeInitializeSpinLock(&k->lock);
    WCHAR *id = QueryDeviceId(((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->PhysicalDeviceObject);
    int parsed = id && ParseDeviceId(id, k);
    if (id) ExFreePool(id);
    if (!parsed) return STATUS_INVALID_DEVICE_REQUEST;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS OpenKey(HANDLE *key, HANDLE root, const WCHAR *name)
{
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&text, name);
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
}

/* Adds one REG_BINARY value, named by its arrival number (0001, 0002, ...), to the
 * keyboard's record key. The lock keeps the numbering of two collections apart. */
static void RecordReport(KEYBOARD *k, const UCHAR *bytes, ULONG length)
{
    HANDLE reports, key;
    KeWaitForSingleObject(&g_recordLock, Executive, KernelMode, FALSE, NULL);
    if (NT_SUCCESS(OpenKey(&reports, NULL, g_reportsPath))) {
        if (NT_SUCCESS(OpenKey(&key, reports, k->keyboard))) {
            KEY_FULL_INFORMATION info;
            ULONG size;
            if (NT_SUCCESS(ZwQueryKey(key, KeyFullInformation, &info, sizeof(info), &size))) {
                WCHAR name[5];
                ULONG number = info.Values + 1;
                for (int i = 3; i >= 0; --i, number /= 10) name[i] = (WCHAR)(L'0' + number % 10);
                name[4] = 0;
                UNICODE_STRING valueName;
                RtlInitUnicodeString(&valueName, name);
                ZwSetValueKey(key, &valueName, 0, REG_BINARY, (PVOID)bytes, length);
            }
            ZwClose(key);
        }
        ZwClose(reports);
    }
    KeReleaseMutex(&g_recordLock, FALSE);
}

/* Whether the keyboard has the HoldWrites fault: a REG_DWORD 1 under Faults\<keyboard>. */
static int HoldsWrites(KEYBOARD *k)
{
    HANDLE faults, key;
    int holds = 0;
    if (!NT_SUCCESS(OpenKey(&faults, NULL, g_faultsPath))) return 0;
    if (NT_SUCCESS(OpenKey(&key, faults, k->keyboard))) {
        UNICODE_STRING name;
        ULONG size;
        union {
            KEY_VALUE_PARTIAL_INFORMATION info;
            UCHAR space[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
        } value;
        RtlInitUnicodeString(&name, FN_KBD_HOLD_WRITES);
        if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof(value), &size)) &&
            value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG))
            holds = *(ULONG *)value.info.Data == 1;
        ZwClose(key);
    }
    ZwClose(faults);
    return holds;
}

static void NTAPI CancelHeld(PDEVICE_OBJECT fdo, PIRP irp)
{
    KEYBOARD *k = Keyboard(fdo);
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&k->lock, &irql);
    if (k->pendingRead == irp) k->pendingRead = NULL;
    if (k->pendingWrite == irp) k->pendingWrite = NULL;
    KeReleaseSpinLock(&k->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Keeps the request pending in the slot until it is cancelled or the keyboard removed. */
static NTSTATUS Hold(KEYBOARD *k, PIRP *slot, PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&k->lock, &irql);
    int busy = *slot != NULL;
    if (!busy) {
        *slot = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHeld);
    }
    KeReleaseSpinLock(&k->lock, irql);
    if (!busy) return STATUS_PENDING;
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
}

static void Release(KEYBOARD *k, PIRP *slot)
{
    KIRQL irql;
    KeAcquireSpinLock(&k->lock, &irql);
    PIRP irp = *slot;
    *slot = NULL;
    if (irp && !IoSetCancelRoutine(irp, NULL)) irp = NULL;  /* its cancel routine runs */
    KeReleaseSpinLock(&k->lock, irql);
    if (!irp) return;
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static NTSTATUS CopyOut(PIRP irp, ULONG capacity, const void *data, ULONG size)
{
    if (capacity < size) return STATUS_BUFFER_TOO_SMALL;
    memcpy(irp->UserBuffer, data, size);
    irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI InternalIoctl(PDEVICE_OBJECT fdo, PIRP irp)
{
    KEYBOARD *k = Keyboard(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR descriptor[sizeof(KeyboardCollection) + sizeof(VendorCollection)];
    ULONG descriptorLength = 0;
    if (k->collection != 2) {
        memcpy(descriptor, KeyboardCollection, sizeof(KeyboardCollection));
        descriptorLength = sizeof(KeyboardCollection);
    }
    if (k->collection != 1) {
        memcpy(descriptor + descriptorLength, VendorCollection, sizeof(VendorCollection));
        if (k->vid == FN_KBD_LONG_REPORT_VENDOR)
            descriptor[descriptorLength + VENDOR_REPORT_COUNT_AT] = FN_KBD_LONG_REPORT_BYTES - 1;
        descriptorLength += sizeof(VendorCollection);
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
        HID_DEVICE_ATTRIBUTES attributes = {sizeof(attributes), k->vid, k->pid, 0x0100, {0}};
        status = CopyOut(irp, capacity, &attributes, sizeof(attributes));
        break;
    }
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
        HID_DESCRIPTOR hid = {sizeof(hid), 0x21, 0x0111, 0, 1, 0x22, (USHORT)descriptorLength};
        status = CopyOut(irp, capacity, &hid, sizeof(hid));
        break;
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        status = CopyOut(irp, capacity, descriptor, descriptorLength);
        break;
    case IOCTL_HID_GET_STRING: {
        /* Wine asks with the string type (1 to 3), Windows with the string id (14 to 16). */
        ULONG which = (ULONG)(ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer & 0xFFFF;
        const WCHAR *text = which == 1 || which == 14 ? L"Osmira stand-in"
                          : which == 2 || which == 15 ? k->product
                          : which == 3 || which == 16 ? k->keyboard : NULL;
        status = text ? CopyOut(irp, capacity, text, (ULONG)(wcslen(text) + 1) * sizeof(WCHAR))
                      : STATUS_INVALID_PARAMETER;
        break;
    }
    case IOCTL_HID_WRITE_REPORT:
    case IOCTL_HID_SET_OUTPUT_REPORT: {
        HID_XFER_PACKET *packet = irp->UserBuffer;
        if (!packet || !packet->reportBuffer || !packet->reportBufferLen) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (HoldsWrites(k)) return Hold(k, &k->pendingWrite, irp);
        RecordReport(k, packet->reportBuffer, packet->reportBufferLen);
        irp->IoStatus.Information = packet->reportBufferLen;
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_HID_READ_REPORT:
        return Hold(k, &k->pendingRead, irp);
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI Pnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE) {
        Release(Keyboard(fdo), &Keyboard(fdo)->pendingRead);
        Release(Keyboard(fdo), &Keyboard(fdo)->pendingWrite);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->NextDeviceObject, irp);
}

static void NTAPI Unload(PDRIVER_OBJECT driver)
{
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ULONG chars = registryPath->Length / sizeof(WCHAR);
    if (chars + 2 + wcslen(FN_KBD_REPORTS_SUBKEY) >= sizeof(g_reportsPath) / sizeof(WCHAR) ||
        chars + 2 + wcslen(FN_KBD_FAULTS_SUBKEY) >= sizeof(g_faultsPath) / sizeof(WCHAR))
        return STATUS_NAME_TOO_LONG;
    memcpy(g_reportsPath, registryPath->Buffer, chars * sizeof(WCHAR));
    g_reportsPath[chars] = L'\\';
    wcscpy(g_reportsPath + chars + 1, FN_KBD_REPORTS_SUBKEY);
    memcpy(g_faultsPath, registryPath->Buffer, chars * sizeof(WCHAR));
    g_faultsPath[chars] = L'\\';
    wcscpy(g_faultsPath + chars + 1, FN_KBD_FAULTS_SUBKEY);
    KeInitializeMutex(&g_recordLock, 0);

    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalIoctl;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    HID_MINIDRIVER_REGISTRATION registration = {0};
    registration.Revision = HID_REVISION;
    registration.DriverObject = driver;
    registration.RegistryPath = registryPath;
    registration.DeviceExtensionSize = sizeof(KEYBOARD);
    registration.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&registration);
}
