// What the registry shares with the hidapi layer; not for tests.
#pragma once

#include "virtual_reader.h"

#include <memory>

struct hid_device_ {
    std::shared_ptr<virtual_reader::Reader> reader;
};

namespace virtual_reader::detail {

uint8_t crc8(const uint8_t *data, int length);

struct ReaderAccess {
    static std::shared_ptr<Reader> create(const Identity &identity);
    static bool attached(const Reader &reader) { return reader.mAttached; }
    static void detach(Reader &reader);
    static void opened(Reader &reader) { ++reader.mOpenHandles; }
    static void closed(Reader &reader) { --reader.mOpenHandles; }
    static int write(Reader &reader, const uint8_t *data, size_t length)
    {
        return reader.takeRequest(data, length);
    }
    static int read(Reader &reader, uint8_t *data, size_t length, int milliseconds)
    {
        return reader.giveInput(data, length, milliseconds);
    }
};

// Attached readers in plug order.
const std::vector<std::shared_ptr<Reader>> &attachedReaders();
CallCounts &callCounts();
int &openHandleCount();

}  // namespace virtual_reader::detail
