// Card after card: wait for a card, read it, prepare it unless it already
// is, report and journal it, then wait for the field to clear.
#include "commands.h"
#include "console.h"
#include "journal.h"
#include "stop_signals.h"

#include "card_display.h"
#include "reader.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

// On a terminal, a line at the bottom that shows the batch is alive. It is
// rubbed out before anything else is printed.
class StatusLine {
public:
    StatusLine(QTextStream &err, bool enabled) : mErr(err), mEnabled(enabled) {}
    ~StatusLine() { clear(); }
    void show(const QString &text)
    {
        if (!mEnabled)
            return;
        static const char kSpinner[] = "|/-\\";
        mErr << "\r\033[K" << kSpinner[mTick++ % 4] << ' ' << text;
        mErr.flush();
        mShown = true;
        set_status_line_shown(true);
    }
    void clear()
    {
        if (!mShown)
            return;
        set_status_line_shown(false);
        mErr << "\r\033[K";
        mErr.flush();
        mShown = false;
    }

private:
    QTextStream &mErr;
    bool mEnabled;
    bool mShown = false;
    unsigned mTick = 0;
};

enum Outcome { kPrepared, kAlreadyPrepared, kFailed, kInvalid, kOutcomes };
const char *const kOutcomeNames[kOutcomes] = {"prepared", "already-prepared", "failed", "invalid"};

struct HandledCard {
    QString uid;
    Outcome outcome;
    QList<int> codes;
};

// kExitJournal when the "writing" row of a card cannot be written.
int handleCard(const Session &session, Journal &journal, const QString &path, const ReadResult &read,
               HandledCard &handled)
{
    handled = {QString::fromLatin1(uidHex(read.card.uid)), kFailed, {}};
    if (read.outcome == ReadOutcome::InvalidCard) {
        handled.outcome = kInvalid;
    } else if (read.outcome == ReadOutcome::Read) {
        session.log(read_log_lines(read.card));
        if (card_carries_own_number(read.card) && card_is_on_site_key(read.card)) {
            handled.outcome = kAlreadyPrepared;
        } else {
            bool prepared = false;
            if (const int status = write_confirmed(session, journal, path, read.card, handled.codes, prepared))
                return status;
            handled.outcome = prepared ? kPrepared : kFailed;
        }
    }
    return kExitOk;
}

}  // namespace

int run_batch(const Session &session, const BatchOptions &options)
{
    // Before any card is touched: a batch that cannot keep its journal does not start.
    Journal journal;
    if (const int status = open_journal(session, options, journal))
        return status;
    QString path;
    if (const int status = open_reader(session, options.reader, path))
        return status;
    session.tell(QStringLiteral("reader %1, journal %2")
                         .arg(path, journal.isOpen() ? journal.path() : QStringLiteral("none")));
    session.tell(QStringLiteral("lay a card on the reader; Ctrl-C stops after the card in hand"));

    StopSignals stop;
    StatusLine statusLine(session.err, session.terminal);
    int tally[kOutcomes] = {};
    int handledCount = 0;
    int status = kExitOk;
    // A card is handled when it arrives: when it is seen after the field was
    // seen empty, or in place of another card. The field counts as empty only
    // after two polls in a row without a card, so that a detection missed
    // once does not count a card lying there twice.
    QString onField;
    int emptyPolls = 0;
    QElapsedTimer sinceHandled;
    bool liftHinted = true;
    QElapsedTimer sinceHeartbeat;
    sinceHeartbeat.start();

    while (!stop.raised() && (options.count == 0 || handledCount < options.count)) {
        // A closed output (the reader of a pipe gone) ends the batch as Ctrl-C does.
        if (!session.outputOpen() || output_pipe_closed()) {
            statusLine.clear();
            session.tell(QStringLiteral("the output is closed; stopping after this card"));
            break;
        }
        if (sinceHeartbeat.elapsed() >= options.timing.heartbeatMs) {
            if (reader_cmd_heartbeat() != 0) {
                statusLine.clear();
                session.tell(QStringLiteral("lost the reader %1: it does not answer the heartbeat; "
                                            "check its cable, then start the batch again").arg(path));
                status = kExitNoReader;
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
            if (!liftHinted && sinceHandled.elapsed() >= options.timing.liftHintMs) {
                statusLine.clear();
                session.tell(QStringLiteral("card %1 is done: lift it and lay the next one").arg(uid));
                liftHinted = true;
            }
        } else {
            statusLine.clear();
            HandledCard card;
            if ((status = handleCard(session, journal, path, read, card)) != kExitOk)
                break;
            const QString outcome = QLatin1String(kOutcomeNames[card.outcome]);
            const QString time = journal_time();
            status = journal_row(session, journal, {time, path, card.uid, outcome, codes_text(card.codes)},
                                 QStringLiteral("card %1 has no outcome row in it").arg(card.uid));
            tally[card.outcome]++;
            handledCount++;
            if (session.json)
                session.print(QJsonObject{{QStringLiteral("index"), handledCount},
                                          {QStringLiteral("uid"), card.uid},
                                          {QStringLiteral("outcome"), outcome},
                                          {QStringLiteral("codes"), codes_json(card.codes)},
                                          {QStringLiteral("reader"), path},
                                          {QStringLiteral("time"), time}});
            else
                session.print(QStringLiteral("%1 %2 %3%4").arg(handledCount).arg(card.uid, outcome,
                                                                          codes_suffix(card.codes)));
            if (status != kExitOk)
                break;
            onField = uid;
            emptyPolls = 0;
            sinceHandled.start();
            liftHinted = false;
            continue;
        }
        statusLine.show(QStringLiteral("%1 done; %2").arg(handledCount).arg(
                onField.isEmpty() ? QStringLiteral("waiting for a card") : QStringLiteral("lift the card")));
        QThread::msleep(static_cast<unsigned long>(options.timing.pollMs));
    }
    statusLine.clear();
    close_reader();
    if (session.json)
        session.print(QJsonObject{{QStringLiteral("prepared"), tally[kPrepared]},
                                  {QStringLiteral("already_prepared"), tally[kAlreadyPrepared]},
                                  {QStringLiteral("failed"), tally[kFailed]},
                                  {QStringLiteral("invalid"), tally[kInvalid]}});
    else
        session.print(QStringLiteral("prepared: %1, already prepared: %2, failed: %3, invalid: %4")
                              .arg(tally[kPrepared]).arg(tally[kAlreadyPrepared])
                              .arg(tally[kFailed]).arg(tally[kInvalid]));
    if (status == kExitOk && (tally[kFailed] > 0 || tally[kInvalid] > 0))
        status = kExitFailed;
    return status;
}
