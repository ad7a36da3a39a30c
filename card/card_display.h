// How the card workflows show their results: the tip line and the hex
// renderings of UIDs, keys and blocks for the label and the log.
#pragma once

#include "card_commands.h"

#include <QByteArray>
#include <QLabel>
#include <QString>

#include <cstdint>

enum class TipStyle { Success, Failure };

// The text goes first, then its colour.
inline void showTip(QLabel *tip, const QString &text, TipStyle style)
{
    tip->setText(text);
    tip->setStyleSheet(style == TipStyle::Success
                               ? QStringLiteral("color: rgb(0, 255, 0);font-size: 11pt;")
                               : QStringLiteral("color: rgb(255, 0, 0);font-size: 11pt;"));
}

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
