// quendel-card batch: the batch, card after card, on a terminal.
#include "batch.h"
#include "commands.h"
#include "console.h"
#include "stop_signals.h"

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

// The batch on a terminal: a line per card on stdout, messages on stderr,
// the status line between cards.
class TerminalBatch : public BatchListener {
public:
    TerminalBatch(const Session &session, const Journal &journal, const QString &path)
        : mSession(session), mJournal(journal), mPath(path), mStatusLine(session.err, session.terminal) {}
    void clearStatusLine() { mStatusLine.clear(); }

    // A closed output (the reader of a pipe gone) ends the batch as Ctrl-C does.
    bool stopRequested() override
    {
        if (mStop.raised())
            return true;
        if (mSession.outputOpen() && !output_pipe_closed())
            return false;
        mStatusLine.clear();
        mSession.tell(QStringLiteral("the output is closed; stopping after this card"));
        return true;
    }
    void waiting(int handled, bool cardLying) override
    {
        mStatusLine.show(QStringLiteral("%1 done; %2").arg(handled).arg(
                cardLying ? QStringLiteral("lift the card") : QStringLiteral("waiting for a card")));
    }
    void cardTaken(const QString &) override { mStatusLine.clear(); }
    void cardHandled(const BatchCard &card) override
    {
        const QString outcome = batch_outcome_name(card.outcome);
        if (mSession.json)
            mSession.print(QJsonObject{{QStringLiteral("index"), card.index},
                                       {QStringLiteral("uid"), card.uid},
                                       {QStringLiteral("outcome"), outcome},
                                       {QStringLiteral("codes"), codes_json(card.codes)},
                                       {QStringLiteral("reader"), mPath},
                                       {QStringLiteral("time"), card.time}});
        else
            mSession.print(QStringLiteral("%1 %2 %3%4").arg(card.index).arg(card.uid, outcome,
                                                                       codes_suffix(card.codes)));
    }
    void liftHint(const QString &uid) override
    {
        mStatusLine.clear();
        mSession.tell(QStringLiteral("card %1 is done: lift it and lay the next one").arg(uid));
    }
    void readerLost() override
    {
        mStatusLine.clear();
        mSession.tell(QStringLiteral("lost the reader %1: it does not answer the heartbeat; "
                                     "check its cable, then start the batch again").arg(mPath));
    }
    void journalFailed(const QString &error, const QString &consequence) override
    {
        mStatusLine.clear();
        tell_journal_failure(mSession, mJournal, error, consequence);
    }
    void debugLines(const QStringList &lines) override { mSession.log(lines); }

private:
    const Session &mSession;
    const Journal &mJournal;
    QString mPath;
    StopSignals mStop;
    StatusLine mStatusLine;
};

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

    TerminalBatch terminal(session, journal, path);
    const BatchResult result = run_batch_cards(journal, path, options.count, options.timing, terminal);
    terminal.clearStatusLine();
    close_reader();
    const int *tally = result.tally;
    if (session.json)
        session.print(QJsonObject{{QStringLiteral("prepared"), tally[kPrepared]},
                                  {QStringLiteral("already_prepared"), tally[kAlreadyPrepared]},
                                  {QStringLiteral("failed"), tally[kFailed]},
                                  {QStringLiteral("invalid"), tally[kInvalid]}});
    else
        session.print(QStringLiteral("prepared: %1, already prepared: %2, failed: %3, invalid: %4")
                              .arg(tally[kPrepared]).arg(tally[kAlreadyPrepared])
                              .arg(tally[kFailed]).arg(tally[kInvalid]));
    if (result.end == BatchEnd::ReaderLost)
        return kExitNoReader;
    if (result.end == BatchEnd::JournalFailed)
        return kExitJournal;
    return tally[kFailed] > 0 || tally[kInvalid] > 0 ? kExitFailed : kExitOk;
}
