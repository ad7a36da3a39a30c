// hidapi over the registry of virtual readers. Handles keep their reader
// alive after it is unplugged; they are dead then, but valid until closed.
#include "virtual_reader_internal.h"

#include <hidapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

using virtual_reader::Identity;
using virtual_reader::detail::ReaderAccess;
using virtual_reader::detail::callCounts;

namespace {

char *copyString(const std::string &text)
{
    auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy)
        std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// Absent strings stay null; false when memory ran out.
bool copyWide(const std::optional<std::wstring> &text, wchar_t **out)
{
    if (!text)
        return true;
    *out = static_cast<wchar_t *>(std::malloc((text->size() + 1) * sizeof(wchar_t)));
    if (!*out)
        return false;
    std::wmemcpy(*out, text->c_str(), text->size() + 1);
    return true;
}

void freeInfo(hid_device_info *info)
{
    std::free(info->path);
    std::free(info->manufacturer_string);
    std::free(info->product_string);
    std::free(info->serial_number);
    std::free(info);
}

void freeChain(hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        freeInfo(devs);
        devs = next;
    }
}

hid_device_info *newInfo(const Identity &identity)
{
    auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
    if (!info)
        return nullptr;
    info->path = copyString(identity.path);
    info->vendor_id = identity.vendor_id;
    info->product_id = identity.product_id;
    info->release_number = identity.release;
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 13, 0)
    info->bus_type = HID_API_BUS_USB;
#endif
    const bool copied = info->path && copyWide(identity.manufacturer, &info->manufacturer_string)
                        && copyWide(identity.product, &info->product_string)
                        && copyWide(identity.serial, &info->serial_number);
    if (!copied) {
        freeInfo(info);
        return nullptr;
    }
    return info;
}

bool matches(unsigned short wanted, unsigned short id) { return wanted == 0 || wanted == id; }

bool alive(const hid_device *dev) { return dev && ReaderAccess::attached(*dev->reader); }

}  // namespace

int hid_init(void)
{
    ++callCounts().init;
    return 0;
}

int hid_exit(void)
{
    ++callCounts().exit;
    return 0;
}

hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    ++callCounts().enumerate;
    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    for (const auto &reader : virtual_reader::detail::attachedReaders()) {
        const Identity &identity = reader->identity();
        if (!matches(vendor_id, identity.vendor_id) || !matches(product_id, identity.product_id))
            continue;
        hid_device_info *info = newInfo(identity);
        if (!info) {
            freeChain(head);
            return nullptr;
        }
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info *devs)
{
    ++callCounts().free_enumeration;
    freeChain(devs);
}

hid_device *hid_open_path(const char *path)
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    ++callCounts().open_path;
    if (!path)
        return nullptr;
    for (const auto &reader : virtual_reader::detail::attachedReaders()) {
        if (reader->identity().path != path)
            continue;
        auto *dev = new (std::nothrow) hid_device{reader};
        if (!dev)
            return nullptr;
        ReaderAccess::opened(*reader);
        ++virtual_reader::detail::openHandleCount();
        return dev;
    }
    return nullptr;
}

int hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    ++callCounts().write;
    if (!alive(dev))
        return -1;
    const auto reader = dev->reader;  // a request hook may unplug everything
    return ReaderAccess::write(*reader, data, length);
}

int hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int milliseconds)
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    ++callCounts().read;
    if (!alive(dev))
        return -1;
    return ReaderAccess::read(*dev->reader, data, length, milliseconds);
}

void hid_close(hid_device *dev)
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    ++callCounts().close;
    if (!dev)
        return;
    ReaderAccess::closed(*dev->reader);
    --virtual_reader::detail::openHandleCount();
    delete dev;
}
