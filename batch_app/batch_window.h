// The batch window (批量写卡): a box of cards without a terminal. It shows
// what the batch core, run by the worker on its own thread, tells: what to
// do now in one large line, the counts, and a row per card handled.
#pragma once

#include "batch_worker.h"
#include "journal.h"

#include <QThread>
#include <QTimer>
#include <QWidget>

QT_BEGIN_NAMESPACE
namespace Ui {
class BatchWindow;
}
QT_END_NAMESPACE

class BatchWindow : public QWidget
{
    Q_OBJECT

public:
    explicit BatchWindow(QWidget *parent = nullptr, const QString &journal = default_journal_path(),
                         const BatchTiming &timing = {});
    ~BatchWindow() override;

protected:
    // A batch stops after the card in hand, then the window closes.
    void closeEvent(QCloseEvent *event) override;
    // Space starts and stops, wherever the focus is in the window.
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void do_mScanReadersTmr_timeout();
    void on_btnStart_clicked();
    void on_btnStop_clicked();
    void on_btnOpenJournalFolder_clicked();
    void do_mWorker_readersListed(const QStringList &paths);
    void do_mWorker_refused(const QString &why);
    void do_mWorker_started();
    void do_mWorker_waitingForCard(bool cardLying);
    void do_mWorker_cardArrived(const QString &uid);
    void do_mWorker_cardDone(const BatchCard &card);
    void do_mWorker_liftHinted();
    void do_mWorker_finished(BatchEnd end, const QString &why);

private:
    enum class State { Idle, Starting, Running, Stopping };
    void enterState(State state);
    void showPrompt(const QString &text, const char *color);
    void showCounts();

    State mState = State::Idle;
    bool mCloseWhenStopped = false;
    bool mCardLying = false;
    int mTally[kBatchOutcomes] = {};
    QTimer mScanReadersTmr;
    QThread mThread;
    BatchWorker *mWorker;  // lives on mThread
    Ui::BatchWindow *ui;
};
