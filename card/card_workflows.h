// The two operator workflows over the open reader: read the card on it, and
// prepare the card that was read. Both front ends call them; neither logs
// nor shows anything itself, so each front end renders the result its way.
#pragma once

#include "card_info.h"

#include <QList>
#include <QString>
#include <QStringList>

enum class ReadOutcome { NoCard, InvalidCard, ReadFailed, Read };

struct ReadResult {
    ReadOutcome outcome;
    CardInfo card;  // complete only when the outcome is Read
};

// Pre-request, card request, sector 14 opened with the site key or else the
// transport key, block 56 read. Never retried.
ReadResult read_card();

// A prepared card carries its own UID at the start of block 56.
bool card_carries_own_number(const CardInfo &card);
bool card_is_on_site_key(const CardInfo &card);

constexpr int kWriteAttempts = 3;

// Where an attempt failed, as logged in "write card err".
enum WriteError {
    kWriteOk = 0,
    kRequestFailed = 1,  // no card, or another card than the one read
    kAuthenticateFailed = 2,
    kBlockWriteFailed = 4,
    kKeyChangeFailed = 5,
    kReadBackFailed = 6,  // written, but the card did not read back prepared
};

struct WriteResult {
    bool written;
    int failed_attempts;
    WriteError errors[kWriteAttempts];  // the failed attempts' codes, in order
};

// Prepares the card read into `card`, and only that card: up to three
// attempts of request, authentication with the recorded key, block 56
// written and, for a card recorded on the transport key, sector 14 moved to
// the site key.
WriteResult write_card(const CardInfo &card);

// Confirms a write without trusting its answers: the card read into `card`
// is on the reader, opens with the site key and carries its own number.
// Up to three tries, so that a lost answer costs a retry, not a verdict.
bool read_back_prepared(const CardInfo &card);

// The codes of the failed attempts, in order.
QList<int> attempt_codes(const WriteResult &result);
// "1 1 4"; empty when no attempt failed.
QString codes_text(const QList<int> &codes);

// The card number as the window shows it and the write's log line names it:
// the UID in hex on a prepared card, "未写入" on any other.
QString card_number_text(const CardInfo &card);

// The debug lines of each workflow, as both front ends log them.
QStringList read_log_lines(const CardInfo &card);
// `number` is what the read showed: the card number or its "not written" text.
QStringList write_log_lines(const QString &number, const CardInfo &card);
QStringList attempt_log_lines(const WriteResult &result);
