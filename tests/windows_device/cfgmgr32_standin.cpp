// cfgmgr32.dll for the device tests under Wine 8 only, never shipped.
// hidapi resolves six functions of cfgmgr32 at start, and Wine lacks
// CM_Get_Device_Interface_PropertyW and stubs CM_Get_Device_Interface_List_SizeW
// and CM_Get_Device_Interface_ListW, so hid_init() fails. These three are
// answered here from SetupAPI, which Wine implements; the .def file forwards
// the other three to Wine's setupapi. Loaded from the program's folder with
// WINEDLLOVERRIDES=cfgmgr32=n,b (scripts/wine-device-run).
#define _CFGMGR32_
#include <windows.h>
#include <initguid.h>
#include <cfgmgr32.h>
#include <devpkey.h>
#include <setupapi.h>

#include <string>
#include <vector>

// The paths of the present interfaces of a class, each ended by a NUL, and a
// NUL after the last: cfgmgr32's list format. Only what hidapi asks: those of
// any device.
static bool presentInterfaces(LPGUID interfaceClass, DEVINSTID_W deviceId, ULONG flags, std::wstring *paths)
{
    if (deviceId || flags != CM_GET_DEVICE_INTERFACE_LIST_PRESENT)
        return false;
    const HDEVINFO set = SetupDiGetClassDevsW(interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVICE_INTERFACE_DATA deviceInterface{sizeof deviceInterface, {}, 0, 0};
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, i, &deviceInterface); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &deviceInterface, nullptr, 0, &size, nullptr);
        std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (size >= sizeof *detail && SetupDiGetDeviceInterfaceDetailW(set, &deviceInterface, detail, size, nullptr, nullptr))
            paths->append(detail->DevicePath).push_back(L'\0');
    }
    SetupDiDestroyDeviceInfoList(set);
    paths->push_back(L'\0');
    return true;
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID interfaceClass, DEVINSTID_W deviceId, ULONG flags)
{
    std::wstring paths;
    if (!presentInterfaces(interfaceClass, deviceId, flags, &paths))
        return CR_FAILURE;
    *length = static_cast<ULONG>(paths.size());
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID interfaceClass, DEVINSTID_W deviceId, PZZWSTR buffer, ULONG length, ULONG flags)
{
    std::wstring paths;
    if (!presentInterfaces(interfaceClass, deviceId, flags, &paths))
        return CR_FAILURE;
    if (paths.size() > length)
        return CR_BUFFER_SMALL;
    paths.copy(buffer, paths.size());
    return CR_SUCCESS;
}

// Only the device instance ID, the one property hidapi asks of an interface.
extern "C" CONFIGRET WINAPI CM_Get_Device_Interface_PropertyW(LPCWSTR path, const DEVPROPKEY *key, DEVPROPTYPE *type,
                                                              PBYTE buffer, PULONG size, ULONG)
{
    if (!IsEqualDevPropKey(*key, DEVPKEY_Device_InstanceId))
        return CR_NO_SUCH_VALUE;
    const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVICE_INTERFACE_DATA deviceInterface{sizeof deviceInterface, {}, 0, 0};
    SP_DEVINFO_DATA device{sizeof device, {}, 0, 0};
    WCHAR id[MAX_DEVICE_ID_LEN];
    const bool found = SetupDiOpenDeviceInterfaceW(set, path, 0, &deviceInterface) &&
                       SetupDiEnumDeviceInfo(set, 0, &device) &&
                       SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr);
    SetupDiDestroyDeviceInfoList(set);
    if (!found)
        return CR_NO_SUCH_DEVICE_INTERFACE;
    const ULONG needed = (lstrlenW(id) + 1) * sizeof(WCHAR);
    *type = DEVPROP_TYPE_STRING;
    const bool fits = buffer && *size >= needed;
    if (fits)
        CopyMemory(buffer, id, needed);
    *size = needed;
    return fits ? CR_SUCCESS : CR_BUFFER_SMALL;
}
