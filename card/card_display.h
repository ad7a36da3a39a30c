// The hex renderings of UIDs, keys and blocks for the labels and the log.
#pragma once

#include "card_commands.h"

#include <QByteArray>

#include <cstdint>

// Eight upper-case hex digits, no separators: 1A2B3C4D.
inline QByteArray uidHex(const uint8_t uid[kUidSize])
{
    return QByteArray(reinterpret_cast<const char *>(uid), kUidSize).toHex().toUpper();
}

// Lower-case hex numbers joined by single spaces: d4 7e 0b.
inline QByteArray spacedHex(const uint8_t *bytes, int size)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), size).toHex(' ');
}
