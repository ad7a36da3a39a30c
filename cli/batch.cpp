// Card after card: wait for a card, read it, prepare it unless it already
// is, report and journal it, then wait for the field to clear.
#include "commands.h"
#include "journal.h"

#include "card_display.h"
#include "reader.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>

#include <csignal>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <pthread.h>
#endif

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

// Ctrl-C and SIGTERM only raise a flag, looked at between cards, so that a
// card being written is finished first. They are held while the reader is
// spoken to and let in only while the batch sleeps: one landing in the middle
// of a transaction would fail it (poll() is never restarted), and a write cut
// short that way is reported failed although the card took it. The previous
// handlers come back when the batch ends.
class StopSignals {
public:
    StopSignals()
    {
        stopRequested = 0;
        mInterrupt = std::signal(SIGINT, requestStop);
        mTerminate = std::signal(SIGTERM, requestStop);
#ifdef Q_OS_UNIX
        sigemptyset(&mStopSignals);
        sigaddset(&mStopSignals, SIGINT);
        sigaddset(&mStopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &mStopSignals, &mPreviousMask);
#endif
    }
    ~StopSignals()
    {
#ifdef Q_OS_UNIX
        pthread_sigmask(SIG_SETMASK, &mPreviousMask, nullptr);  // a held signal lands here
#endif
        std::signal(SIGINT, mInterrupt);
        std::signal(SIGTERM, mTerminate);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    bool raised() const { return stopRequested != 0; }

    void sleep(int milliseconds)
    {
#ifdef Q_OS_UNIX
        pthread_sigmask(SIG_UNBLOCK, &mStopSignals, nullptr);
#endif
        QThread::msleep(static_cast<unsigned long>(milliseconds));
#ifdef Q_OS_UNIX
        pthread_sigmask(SIG_BLOCK, &mStopSignals, nullptr);
#endif
    }

private:
    void (*mInterrupt)(int);
    void (*mTerminate)(int);
#ifdef Q_OS_UNIX
    sigset_t mStopSignals;
    sigset_t mPreviousMask;
#endif
};

enum Outcome { kPrepared, kAlreadyPrepared, kFailed, kInvalid, kOutcomes };
const char *const kOutcomeNames[kOutcomes] = {"prepared", "already-prepared", "failed", "invalid"};

struct HandledCard {
    QString uid;
    Outcome outcome;
    QList<int> codes;
};

HandledCard handleCard(const Session &session, const ReadResult &read)
{
    HandledCard handled{QString::fromLatin1(uidHex(read.card.uid)), kFailed, {}};
    if (read.outcome == ReadOutcome::InvalidCard) {
        handled.outcome = kInvalid;
    } else if (read.outcome == ReadOutcome::Read) {
        session.log(read_log_lines(read.card));
        if (card_carries_own_number(read.card) && card_is_on_site_key(read.card)) {
            handled.outcome = kAlreadyPrepared;
        } else {
            const WriteResult result = write_logged(session, read.card);
            handled.outcome = result.written ? kPrepared : kFailed;
            handled.codes = attempt_codes(result);
        }
    }
    return handled;
}

// ISO 8601 with the UTC offset always spelt out (+00:00 rather than Z), so
// that every row reads the same way.
QString localTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    return now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
            + QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 3600,
                                std::abs(offset) % 3600 / 60);
}

}  // namespace

int run_batch(const Session &session, const BatchOptions &options)
{
    // Before any card is touched: a batch that cannot keep its journal does not start.
    Journal journal;
    QString error;
    if (!options.journal.isEmpty() && !journal.open(options.journal, error)) {
        session.fail(QStringLiteral("cannot open the journal %1: %2").arg(options.journal, error));
        return kExitJournal;
    }
    QString path;
    if (const int status = open_reader(session, options.reader, path))
        return status;

    StopSignals stop;
    int tally[kOutcomes] = {};
    int handledCount = 0;
    int status = kExitOk;
    // After a card, the field must be seen empty on two polls in a row, and
    // that card is not taken again before another one, so that a card left
    // on the reader or a flickering detection is never counted twice.
    QString lastUid;
    bool awaitEmpty = false;
    int emptyPolls = 0;
    QElapsedTimer sinceHeartbeat;
    sinceHeartbeat.start();

    while (!stop.raised() && (options.count == 0 || handledCount < options.count)) {
        if (sinceHeartbeat.elapsed() >= options.timing.heartbeatMs) {
            if (reader_cmd_heartbeat() != 0) {
                session.fail(QStringLiteral("lost the reader %1: it does not answer the heartbeat").arg(path));
                status = kExitNoReader;
                break;
            }
            sinceHeartbeat.restart();
        }
        const ReadResult read = read_card();
        const bool present = read.outcome != ReadOutcome::NoCard;
        if (awaitEmpty) {
            emptyPolls = present ? 0 : emptyPolls + 1;
            awaitEmpty = emptyPolls < 2;
        } else if (present && QLatin1String(uidHex(read.card.uid)) == lastUid) {
            awaitEmpty = true;
            emptyPolls = 0;
        } else if (present) {
            const HandledCard card = handleCard(session, read);
            tally[card.outcome]++;
            handledCount++;
            const QString time = localTime();
            const QString outcome = QLatin1String(kOutcomeNames[card.outcome]);
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
            if (journal.isOpen() && !journal.append({time, path, card.uid, outcome, codes_text(card.codes)}, error)) {
                session.fail(QStringLiteral("cannot write the journal %1: %2; card %3 is not in it")
                                     .arg(options.journal, error, card.uid));
                status = kExitJournal;
                break;
            }
            lastUid = card.uid;
            awaitEmpty = true;
            emptyPolls = 0;
            continue;
        }
        stop.sleep(options.timing.pollMs);
    }
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
