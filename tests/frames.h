// Whole reports and answer frames, as tests compare and inject them.
#pragma once

#include "reader.h"
#include "virtual_reader.h"

#include <algorithm>
#include <vector>

// A 64-byte report that starts with `head` and is zero after it.
inline virtual_reader::Report report(const std::vector<uint8_t> &head)
{
    virtual_reader::Report r{};
    std::copy(head.begin(), head.end(), r.begin());
    return r;
}

// A frame with a correct checksum: id, start, `head` (command and, in an
// answer, status), length, data, crc, end.
inline std::vector<uint8_t> frame(const std::vector<uint8_t> &head, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> f = {0x01, 0xD1};
    for (uint8_t byte : head)
        f.push_back(byte);
    f.push_back(static_cast<uint8_t>(data.size()));
    for (uint8_t byte : data)
        f.push_back(byte);
    f.push_back(reader_crc8(&f[1], static_cast<int>(f.size()) - 1));
    f.push_back(0xD2);
    return f;
}

inline virtual_reader::Report request(uint8_t command, const std::vector<uint8_t> &data = {})
{
    return report(frame({command}, data));
}

inline std::vector<uint8_t> answer(uint8_t echo, uint8_t status, const std::vector<uint8_t> &data = {})
{
    return frame({echo, status}, data);
}
