// The batch window's hands: everything that speaks to the reader or writes
// the journal, on a thread of its own, so that the window repaints and takes
// clicks at any moment of a batch. It lists the readers while no batch runs,
// and runs the batch core, reporting what happens as signals.
#pragma once

#include "batch.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

Q_DECLARE_METATYPE(BatchCard)
Q_DECLARE_METATYPE(BatchEnd)

class BatchWorker : public QObject, private BatchListener
{
    Q_OBJECT

public:
    // `journal`: where each card is journalled; empty: nowhere (the demo).
    explicit BatchWorker(const QString &journal, const BatchTiming &timing = {});
    // From any thread: a batch running stops after the card in hand; false
    // before a batch is asked for, so that one stopped before it began stays so.
    void setStopRequested(bool stop) { mStop = stop; }

public slots:
    void listReaders();
    // The batch on the reader at `path` until `count` cards (0: no limit),
    // a stop, a lost reader or a row that cannot be written.
    void run(const QString &path, int count);

signals:
    void readersListed(const QStringList &paths);
    // The batch could not start, and why, in the operator's words.
    void refused(const QString &why);
    void started();
    void waitingForCard(bool cardLying);
    void cardArrived(const QString &uid);
    void cardDone(const BatchCard &card);
    void liftHinted();
    // `why`: what went wrong, in the operator's words, when it did.
    void finished(BatchEnd end, const QString &why);

private:
    bool stopRequested() override { return mStop; }
    // Told once per change, not at every look for a card.
    void waiting(int, bool cardLying) override;
    void cardTaken(const QString &uid) override { emit cardArrived(uid); }
    void cardHandled(const BatchCard &card) override;
    void liftHint(const QString &) override { emit liftHinted(); }
    void readerLost() override {}
    void journalFailed(const QString &error, const QString &consequence) override;
    void debugLines(const QStringList &lines) override;

    QString mJournalPath;
    BatchTiming mTiming;
    std::atomic<bool> mStop{false};
    bool mCardLying = false;  // as last told
    QString mJournalFailure;
};

// "写卡窗口（pid 1234）" for "QuendelWriteCard (pid 1234)": who holds a
// reader, in the operator's words.
QString holder_in_chinese(const QString &holder);
