#include "batch.h"

#include "card_display.h"
#include "reader.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

bool appendRow(Journal &journal, const QStringList &row, QString &error)
{
    return !journal.isOpen() || journal.append(row, error);
}

// The card just arrived, read as `read`, read, prepared unless it is, and
// confirmed. False when its "writing" row could not be written.
bool handleCard(Journal &journal, const QString &reader, const ReadResult &read, BatchListener &listener,
                BatchCard &card, QString &error)
{
    card.outcome = kFailed;
    if (read.outcome == ReadOutcome::InvalidCard) {
        card.outcome = kInvalid;
    } else if (read.outcome == ReadOutcome::Read) {
        listener.debugLines(read_log_lines(read.card));
        if (card_carries_own_number(read.card) && card_is_on_site_key(read.card)) {
            card.outcome = kAlreadyPrepared;
        } else {
            bool prepared = false;
            const auto log = [&](const QStringList &lines) { listener.debugLines(lines); };
            if (!write_journalled(journal, reader, read.card, log, card.codes, prepared, error))
                return false;
            card.outcome = prepared ? kPrepared : kFailed;
        }
    }
    return true;
}

}  // namespace

QString batch_outcome_name(BatchOutcome outcome)
{
    static const char *const names[kBatchOutcomes] = {"prepared", "already-prepared", "failed", "invalid"};
    return QLatin1String(names[outcome]);
}

BatchResult run_batch_cards(Journal &journal, const QString &reader, int count, const BatchTiming &timing,
                            BatchListener &listener)
{
    BatchResult result{BatchEnd::Counted, {}};
    int handled = 0;
    QString onField;
    int emptyPolls = 0;
    QElapsedTimer sinceHandled;
    bool liftHinted = true;
    QElapsedTimer sinceHeartbeat;
    sinceHeartbeat.start();

    while (count == 0 || handled < count) {
        if (listener.stopRequested()) {
            result.end = BatchEnd::Stopped;
            break;
        }
        if (sinceHeartbeat.elapsed() >= timing.heartbeatMs) {
            if (reader_cmd_heartbeat() != 0) {
                listener.readerLost();
                result.end = BatchEnd::ReaderLost;
                break;
            }
            sinceHeartbeat.restart();
        }
        const ReadResult read = read_card();
        const QString uid = QString::fromLatin1(uidHex(read.card.uid));
        if (read.outcome == ReadOutcome::NoCard) {
            if (++emptyPolls >= 2)
                onField.clear();
        } else if (uid == onField) {
            emptyPolls = 0;
            if (!liftHinted && sinceHandled.elapsed() >= timing.liftHintMs) {
                listener.liftHint(uid);
                liftHinted = true;
            }
        } else {
            listener.cardTaken(uid);
            BatchCard card{handled + 1, uid, kFailed, {}, {}};
            QString error;
            if (!handleCard(journal, reader, read, listener, card, error)) {
                listener.journalFailed(error, QStringLiteral("card %1 was not written").arg(uid));
                result.end = BatchEnd::JournalFailed;
                break;
            }
            card.time = journal_time();
            const bool journalled = appendRow(journal, {card.time, reader, uid, batch_outcome_name(card.outcome),
                                                        codes_text(card.codes)}, error);
            if (!journalled)
                listener.journalFailed(error, QStringLiteral("card %1 has no outcome row in it").arg(uid));
            result.tally[card.outcome]++;
            handled++;
            listener.cardHandled(card);
            if (!journalled) {
                result.end = BatchEnd::JournalFailed;
                break;
            }
            onField = uid;
            emptyPolls = 0;
            sinceHandled.start();
            liftHinted = false;
            continue;
        }
        listener.waiting(handled, !onField.isEmpty());
        QThread::msleep(static_cast<unsigned long>(timing.pollMs));
    }
    return result;
}

bool write_journalled(Journal &journal, const QString &reader, const CardInfo &card,
                      const std::function<void(const QStringList &)> &log, QList<int> &codes, bool &prepared,
                      QString &error)
{
    const QString uid = QString::fromLatin1(uidHex(card.uid));
    if (!appendRow(journal, {journal_time(), reader, uid, QStringLiteral("writing"), {}}, error))
        return false;
    log(write_log_lines(card_number_text(card), card));
    const WriteResult result = write_card(card);
    log(attempt_log_lines(result));
    codes = attempt_codes(result);
    prepared = result.written && read_back_prepared(card);
    if (result.written && !prepared)
        codes << kReadBackFailed;
    return true;
}
