#include "widget.h"
#include "ui_widget.h"

#include "card_display.h"
#include "card_workflows.h"
#include "reader.h"

#include <QDebug>
#include <QVariant>

#include <cstring>

namespace {

constexpr int kScanIntervalMs = 1000;
constexpr int kTipDisplayMs = 2000;

const char kRedLamp[] = "border-image: url(:/images/red.png);";
const char kGreenLamp[] = "border-image: url(:/images/green.png);";

QString readerKey(const ReaderDeviceInfo &reader)
{
    const QString product = reader.product_string
            ? QString::fromWCharArray(reader.product_string) : QString();
    return product + QLatin1Char('0');
}

enum class TipStyle { Success, Failure };

// The text goes first, then its colour.
void showTip(QLabel *tip, const QString &text, TipStyle style)
{
    tip->setText(text);
    tip->setStyleSheet(style == TipStyle::Success
                               ? QStringLiteral("color: rgb(0, 255, 0);font-size: 11pt;")
                               : QStringLiteral("color: rgb(255, 0, 0);font-size: 11pt;"));
}

QString readTipText(ReadOutcome outcome)
{
    switch (outcome) {
    case ReadOutcome::NoCard:
        return QStringLiteral("未检测到卡");
    case ReadOutcome::InvalidCard:
        return QStringLiteral("无效卡");
    case ReadOutcome::ReadFailed:
        return QStringLiteral("读卡失败");
    case ReadOutcome::Read:
        break;
    }
    return QStringLiteral("读卡成功");
}

void logLines(const QStringList &lines)
{
    for (const QString &line : lines)
        qDebug("%s", qUtf8Printable(line));
}

QString readerPath(const ReaderDeviceInfo &reader)
{
    return reader.path ? QString::fromLocal8Bit(reader.path) : QString();
}

}  // namespace

Widget::Widget(QWidget *parent, const QString &journal)
    : QWidget(parent),
      mConnected(false),
      mScanDeviceTmr(),
      mClearTipTmr(),
      mDeviceMap(),
      mJournalPath(journal),
      mCard{},
      ui(new Ui::Widget)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Quendel Arvesto 智能识别装置写卡器 V1.0"));

    connect(&mScanDeviceTmr, SIGNAL(timeout()), this, SLOT(do_mScanDeviceTmr_timeout()));
    connect(&mClearTipTmr, SIGNAL(timeout()), this, SLOT(do_mClearTipTmr_timeout()));

    mClearTipTmr.setSingleShot(true);
    mScanDeviceTmr.start(kScanIntervalMs);
}

// Closing the window leaves the reader as it is: no disconnect is sent.
Widget::~Widget()
{
    delete ui;
}

void Widget::do_mScanDeviceTmr_timeout()
{
    if (!mConnected) {
        refreshDeviceList();
        return;
    }
    if (reader_cmd_heartbeat() != 0)
        enterDisconnected();
}

void Widget::do_mClearTipTmr_timeout()
{
    ui->lblTip->clear();
}

// A reader that cannot be opened, for whatever cause, leaves the window as
// it is; only one debug line says why.
void Widget::on_btnConnect_clicked()
{
    const QString path = ui->comPort->currentData().toString();
    QString holder;
    const ReaderOpen opened = open_locked_reader(mReaderLock, path, &holder);
    const QByteArray path8 = path.toUtf8();
    switch (opened) {
    case ReaderOpen::InUse:
        qDebug("reader %s is in use by %s", path8.constData(), qUtf8Printable(holder));
        break;
    case ReaderOpen::PermissionDenied:
        qDebug("reader %s: permission denied", path8.constData());
        break;
    case ReaderOpen::Gone:
        qDebug("reader %s: gone", path8.constData());
        break;
    case ReaderOpen::CannotOpen:
        qDebug("reader %s: cannot be opened", path8.constData());
        break;
    case ReaderOpen::LockFailed:
        qDebug("reader %s: %s", path8.constData(), qUtf8Printable(holder));
        break;
    case ReaderOpen::Opened:
    case ReaderOpen::NoAnswer:
        break;
    }
    // A reader that stays silent is dropped by the first failed heartbeat.
    if (opened == ReaderOpen::Opened || opened == ReaderOpen::NoAnswer) {
        mReaderPath = path;
        enterConnected();
    }
}

void Widget::on_btnDisconnect_clicked()
{
    enterDisconnected();
}

// Only a successful read leaves the write button enabled, so a write always
// works on the record of the last good read.
void Widget::on_btnReadCard_clicked()
{
    const ReadResult result = read_card();
    if (result.outcome == ReadOutcome::NoCard) {
        ui->lblCardId->clear();
        mCard = CardInfo{};
    } else if (result.outcome == ReadOutcome::Read && memcmp(&result.card, &mCard, sizeof mCard) != 0) {
        mCard = result.card;
        ui->lblCardId->setText(card_number_text(mCard));
        logLines(read_log_lines(mCard));
    }
    showTip(ui->lblTip, readTipText(result.outcome),
            result.outcome == ReadOutcome::Read ? TipStyle::Success : TipStyle::Failure);
    restartClearTipTmr();
    ui->btnWriteCard->setEnabled(result.outcome == ReadOutcome::Read);
}

// Works from the record of the last read alone; it leaves the record, the
// number, the buttons and the tip timer as they are. A "writing" row goes
// into the journal before the card is touched, so that a window killed or
// cut off mid-write still leaves the card a row that names it.
void Widget::on_btnWriteCard_clicked()
{
    logLines(write_log_lines(ui->lblCardId->text(), mCard));
    journalRow(QStringLiteral("writing"));
    const WriteResult result = write_card(mCard);
    logLines(attempt_log_lines(result));
    journalRow(result.written ? QStringLiteral("prepared") : QStringLiteral("failed"),
               codes_text(attempt_codes(result)));
    if (result.written)
        showTip(ui->lblTip, QStringLiteral("写卡成功"), TipStyle::Success);
    else
        showTip(ui->lblTip, QStringLiteral("写卡失败"), TipStyle::Failure);
}

// Every write goes into the operator's journal. The window says nothing of
// it and writes the card all the same: a row that the journal cannot take
// (another program holds it) waits in its pending file, with one warning
// line, and goes in at the next row that it takes.
void Widget::journalRow(const QString &outcome, const QString &codes)
{
    if (mJournalPath.isEmpty())
        return;
    const QStringList row{journal_time(), mReaderPath, QString::fromLatin1(uidHex(mCard.uid)), outcome, codes};
    Journal journal;
    QString error;
    if (journal.open(mJournalPath, error, true) && journal.append(row, error))
        return;
    qWarning("cannot write the journal %s: %s", qUtf8Printable(mJournalPath), qUtf8Printable(error));
    if (!Journal::keepPending(mJournalPath, row, error))
        qWarning("cannot keep the row in %s either: %s", qUtf8Printable(pending_rows_path(mJournalPath)),
                 qUtf8Printable(error));
}

// Only the first reader listed is offered. The port list is rebuilt only when
// the map's entries change, so that an unchanged list keeps its current item
// and an open drop-down, while a reader replaced by another is noticed even
// though the count stays the same.
void Widget::refreshDeviceList()
{
    const QMap<QString, QString> listed = mDeviceMap;
    mDeviceMap.clear();
    ReaderDeviceInfo *readers = reader_list_devices();
    if (readers)
        mDeviceMap.insert(readerKey(*readers), readerPath(*readers));
    reader_free_devices(readers);

    if (mDeviceMap == listed)
        return;
    rebuildPortList();
    qDebug() << mDeviceMap;
}

void Widget::restartClearTipTmr()
{
    mClearTipTmr.stop();
    mClearTipTmr.start(kTipDisplayMs);
}

void Widget::rebuildPortList()
{
    ui->comPort->clear();
    int index = 0;
    for (auto it = mDeviceMap.cbegin(); it != mDeviceMap.cend(); ++it, ++index)
        ui->comPort->addItem(QStringLiteral("CardWriter%1").arg(index), it.value());
}

void Widget::enterConnected()
{
    mConnected = true;
    ui->labelStatus->setStyleSheet(QString::fromLatin1(kGreenLamp));
    ui->btnConnect->setEnabled(false);
    ui->comPort->setEnabled(false);
    ui->btnDisconnect->setEnabled(true);
    ui->btnReadCard->setEnabled(true);
    ui->btnWriteCard->setEnabled(false);
}

void Widget::enterDisconnected()
{
    close_locked_reader(mReaderLock);
    mConnected = false;
    ui->labelStatus->setStyleSheet(QString::fromLatin1(kRedLamp));
    ui->btnConnect->setEnabled(true);
    ui->comPort->setEnabled(true);
    ui->btnDisconnect->setEnabled(false);
    ui->btnReadCard->setEnabled(false);
    ui->btnWriteCard->setEnabled(false);
}
