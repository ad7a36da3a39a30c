// Card after card: wait for a card, read it, prepare it unless it already
// is, report and journal it, then wait for the field to clear.
#include "commands.h"
#include "journal.h"

#include "card_display.h"
#include "reader.h"

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <csignal>
#include <iterator>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#else
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace {

// Set by the handler on another thread: lock-free atomics, safe in a handler.
std::atomic<int> stopRequested{0};
std::atomic<int> statusLineShown{0};
// Rubs out the status line first, when one is shown.
const char kStopping[] = "\r\033[Kquendel-card: stopping after this card\n";

void announceStop()
{
    if (stopRequested.exchange(1))
        return;
    const int skipped = statusLineShown ? 0 : 4;
#ifdef Q_OS_UNIX
    const ssize_t ignored = ::write(STDERR_FILENO, kStopping + skipped, sizeof kStopping - 1 - skipped);
#else
    const int ignored = _write(2, kStopping + skipped, sizeof kStopping - 1 - skipped);
#endif
    Q_UNUSED(ignored);
}

#ifdef Q_OS_UNIX
void requestStop(int) { announceStop(); }
#else
HANDLE batchFinished = nullptr;

BOOL WINAPI requestStopFromConsole(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        announceStop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Windows ends the process as soon as this returns (or after a few
        // seconds): hold it until the card in hand is finished and journaled.
        announceStop();
        WaitForSingleObject(batchFinished, INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}
#endif

// Ctrl-C, SIGTERM and SIGHUP (a closed terminal or SSH session) only raise a
// flag, looked at between cards, so that the card in hand is finished first.
// They never reach the thread that speaks to the reader: one landing in the
// middle of a transaction would fail it (poll() is never restarted), and a
// write cut short that way is reported failed although the card took it. A
// watcher thread takes them instead and says at once that the batch stops.
// On Windows the console's handler, which runs on a thread of its own, takes
// Ctrl-C, Ctrl-Break and a closed console the same way. The previous handlers
// come back when the batch ends.
class StopSignals {
public:
    StopSignals()
    {
        stopRequested = 0;
#ifdef Q_OS_UNIX
        struct sigaction action = {};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        sigemptyset(&mSignals);
        for (size_t i = 0; i < std::size(kSignals); i++) {
            // One ignored by whoever started us stays so: nohup, or Ctrl-C
            // meant for the terminal's foreground job and not this one.
            sigaction(kSignals[i], nullptr, &mPrevious[i]);
            if (mPrevious[i].sa_handler == SIG_IGN)
                continue;
            sigaddset(&mSignals, kSignals[i]);
            sigaction(kSignals[i], &action, nullptr);
        }
        pthread_sigmask(SIG_BLOCK, &mSignals, &mPreviousMask);
        mWatcher = std::thread([this] {
            pthread_sigmask(SIG_UNBLOCK, &mSignals, nullptr);
            std::unique_lock<std::mutex> lock(mMutex);
            mWake.wait(lock, [this] { return mFinished; });
        });
#else
        if (!batchFinished)  // one for the process: a late handler may still wait on it
            batchFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ResetEvent(batchFinished);
        SetConsoleCtrlHandler(requestStopFromConsole, TRUE);
#endif
    }
    ~StopSignals()
    {
#ifdef Q_OS_UNIX
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mFinished = true;
        }
        mWake.notify_one();
        mWatcher.join();
        pthread_sigmask(SIG_SETMASK, &mPreviousMask, nullptr);  // a held signal lands here
        for (size_t i = 0; i < std::size(kSignals); i++)
            sigaction(kSignals[i], &mPrevious[i], nullptr);
#else
        // A closing console may end the process now. First, for Windows
        // holds its console lock while a handler runs, which removing the
        // handler waits for.
        SetEvent(batchFinished);
        SetConsoleCtrlHandler(requestStopFromConsole, FALSE);
#endif
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    bool raised() const { return stopRequested != 0; }

#ifdef Q_OS_UNIX
private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t mSignals;
    sigset_t mPreviousMask;
    struct sigaction mPrevious[std::size(kSignals)];
    std::mutex mMutex;
    std::condition_variable mWake;
    bool mFinished = false;
    std::thread mWatcher;
#endif
};

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
        statusLineShown = 1;
    }
    void clear()
    {
        if (!mShown)
            return;
        statusLineShown = 0;
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

// Whether the reader of a pipe on stdout has gone, looked at between polls
// so that no further card is taken for an output nobody reads. Elsewhere
// the failed print of a card's line tells.
bool outputPipeClosed()
{
#ifdef Q_OS_UNIX
    pollfd out = {STDOUT_FILENO, 0, 0};
    return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR);
#else
    return false;
#endif
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
        if (!session.outputOpen() || outputPipeClosed()) {
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
