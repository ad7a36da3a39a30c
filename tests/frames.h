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

// An answer frame with a correct checksum: id, start, echo, status, n, data, crc, end.
inline std::vector<uint8_t> answer(uint8_t echo, uint8_t status, const std::vector<uint8_t> &data = {})
{
    std::vector<uint8_t> a = {0x01, 0xD1, echo, status, static_cast<uint8_t>(data.size())};
    for (uint8_t byte : data)
        a.push_back(byte);
    a.push_back(reader_crc8(&a[1], static_cast<int>(a.size()) - 1));
    a.push_back(0xD2);
    return a;
}
