// The program's only window and its controller: the connection state, the
// reader list and the heartbeat.
#pragma once

#include "card_workflows.h"
#include "journal.h"
#include "reader_lock.h"

#include <QMap>
#include <QString>
#include <QTimer>
#include <QWidget>

QT_BEGIN_NAMESPACE
namespace Ui {
class Widget;
}
QT_END_NAMESPACE

class Widget : public QWidget
{
    Q_OBJECT

public:
    // `journal`: where each write is journalled; empty: nowhere.
    explicit Widget(QWidget *parent = nullptr, const QString &journal = default_journal_path());
    ~Widget() override;

private slots:
    void do_mScanDeviceTmr_timeout();
    void do_mClearTipTmr_timeout();
    void on_btnConnect_clicked();
    void on_btnDisconnect_clicked();
    void on_btnReadCard_clicked();
    void on_btnWriteCard_clicked();

private:
    void journalRow(const QString &outcome, const QString &codes = QString());
    void refreshDeviceList();
    void restartClearTipTmr();
    void rebuildPortList();
    void enterConnected();
    void enterDisconnected();

    bool mConnected;
    QTimer mScanDeviceTmr;
    QTimer mClearTipTmr;
    QMap<QString, QString> mDeviceMap;  // reader key -> HID path
    QString mReaderPath;                // the one connected
    QString mJournalPath;
    CardInfo mCard;
    ReaderLock mReaderLock;  // held while Connected
    Ui::Widget *ui;
};
