#include "batch_window.h"
#include "ui_batch_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIntValidator>
#include <QKeyEvent>
#include <QUrl>

#include <algorithm>

namespace {

constexpr int kScanIntervalMs = 1000;

const char kBlue[] = "#1565c0", kOrange[] = "#e65100", kGreen[] = "#2e7d32", kRed[] = "#c62828",
           kGrey[] = "#555555";

// The outcome as the table shows it, and what to do with the card, in the
// words of the operator's guide.
const struct {
    const char *result;
    const char *next;
} kOutcomeTexts[kBatchOutcomes] = {
    {"已写好", "放到已完成的一堆"},
    {"已写过", "放到已完成的一堆"},
    {"失败", "拿起来重新放好，程序会重试；反复失败就放到一边，交给负责人"},
    {"无效", "放到一边，交给负责人"},
};

}  // namespace

BatchWindow::BatchWindow(QWidget *parent, const QString &journal, const BatchTiming &timing)
    : QWidget(parent),
      mWorker(new BatchWorker(journal, timing)),
      ui(new Ui::BatchWindow)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Quendel Arvesto 批量写卡 V1.0"));
    ui->editCount->setValidator(new QIntValidator(1, 99999, ui->editCount));
    ui->lblJournalPath->setText(journal.isEmpty() ? QStringLiteral("（不记日志）") : QDir::toNativeSeparators(journal));
    ui->btnOpenJournalFolder->setEnabled(!journal.isEmpty());
    ui->tableCards->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    qApp->installEventFilter(this);

    mWorker->moveToThread(&mThread);
    connect(&mThread, &QThread::finished, mWorker, &QObject::deleteLater);
    connect(mWorker, &BatchWorker::readersListed, this, &BatchWindow::do_mWorker_readersListed);
    connect(mWorker, &BatchWorker::refused, this, &BatchWindow::do_mWorker_refused);
    connect(mWorker, &BatchWorker::started, this, &BatchWindow::do_mWorker_started);
    connect(mWorker, &BatchWorker::waitingForCard, this, &BatchWindow::do_mWorker_waitingForCard);
    connect(mWorker, &BatchWorker::cardArrived, this, &BatchWindow::do_mWorker_cardArrived);
    connect(mWorker, &BatchWorker::cardDone, this, &BatchWindow::do_mWorker_cardDone);
    connect(mWorker, &BatchWorker::liftHinted, this, &BatchWindow::do_mWorker_liftHinted);
    connect(mWorker, &BatchWorker::finished, this, &BatchWindow::do_mWorker_finished);
    mThread.start();

    connect(&mScanReadersTmr, &QTimer::timeout, this, &BatchWindow::do_mScanReadersTmr_timeout);
    mScanReadersTmr.start(kScanIntervalMs);
    enterState(State::Idle);
    do_mScanReadersTmr_timeout();
}

BatchWindow::~BatchWindow()
{
    qApp->removeEventFilter(this);
    mWorker->setStopRequested(true);
    mThread.quit();
    mThread.wait();
    delete ui;
}

void BatchWindow::closeEvent(QCloseEvent *event)
{
    if (mState == State::Idle) {
        event->accept();
        return;
    }
    mCloseWhenStopped = true;
    on_btnStop_clicked();
    event->ignore();
}

bool BatchWindow::eventFilter(QObject *watched, QEvent *event)
{
    const auto *widget = qobject_cast<QWidget *>(watched);
    if ((event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) || !widget
            || widget->window() != this || static_cast<QKeyEvent *>(event)->key() != Qt::Key_Space
            || static_cast<QKeyEvent *>(event)->modifiers() != Qt::NoModifier)
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress && !static_cast<QKeyEvent *>(event)->isAutoRepeat()) {
        if (mState == State::Idle && ui->btnStart->isEnabled())
            on_btnStart_clicked();
        else if (mState == State::Starting || mState == State::Running)
            on_btnStop_clicked();
    }
    event->accept();
    return true;
}

// While no batch runs: the reader list, once a second, on the worker.
void BatchWindow::do_mScanReadersTmr_timeout()
{
    if (mState == State::Idle)
        QMetaObject::invokeMethod(mWorker, &BatchWorker::listReaders, Qt::QueuedConnection);
}

void BatchWindow::on_btnStart_clicked()
{
    const QString path = ui->comReader->currentData().toString();
    const int count = ui->editCount->text().toInt();
    mTally[kPrepared] = mTally[kAlreadyPrepared] = mTally[kFailed] = mTally[kInvalid] = 0;
    showCounts();
    ui->tableCards->setRowCount(0);
    ui->lblLast->clear();
    enterState(State::Starting);
    mWorker->setStopRequested(false);
    QMetaObject::invokeMethod(mWorker, [this, path, count] { mWorker->run(path, count); }, Qt::QueuedConnection);
}

void BatchWindow::on_btnStop_clicked()
{
    mWorker->setStopRequested(true);
    if (mState == State::Running || mState == State::Starting) {
        enterState(State::Stopping);
        showPrompt(QStringLiteral("正在停止：这张卡处理完就停"), kGrey);
    }
}

void BatchWindow::on_btnOpenJournalFolder_clicked()
{
    const QString folder = QFileInfo(ui->lblJournalPath->text()).absolutePath();
    QDir().mkpath(folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

// With one reader it is chosen without asking; a reader plugged in later
// is picked up at the next scan.
void BatchWindow::do_mWorker_readersListed(const QStringList &paths)
{
    if (mState != State::Idle)
        return;
    QStringList listed;
    for (int i = 0; i < ui->comReader->count(); i++)
        listed << ui->comReader->itemData(i).toString();
    if (listed != paths) {
        const QString current = ui->comReader->currentData().toString();
        ui->comReader->clear();
        for (const QString &path : paths)
            ui->comReader->addItem(QDir::toNativeSeparators(path), path);
        ui->comReader->setCurrentIndex(std::max(0, int(paths.indexOf(current))));
    }
    const bool hadReader = ui->btnStart->isEnabled();
    enterState(State::Idle);
    // A reader lost mid-batch stays told until one is back.
    if (paths.isEmpty() && !ui->lblPrompt->text().startsWith(QStringLiteral("读写器已拔出")))
        showPrompt(QStringLiteral("请插上读写器"), kRed);
    else if (!paths.isEmpty() && (!hadReader || ui->lblPrompt->text() == QStringLiteral("请插上读写器")))
        showPrompt(QStringLiteral("按“开始”或空格键开始批量写卡"), kBlue);
}

void BatchWindow::do_mWorker_refused(const QString &why)
{
    enterState(State::Idle);
    showPrompt(why, kRed);
    if (mCloseWhenStopped)
        close();
}

// A batch stopped before it began stops before its first card: the
// prompt says so still.
void BatchWindow::do_mWorker_started()
{
    if (mState != State::Starting)
        return;
    enterState(State::Running);
    showPrompt(QStringLiteral("请放卡"), kBlue);
}

void BatchWindow::do_mWorker_waitingForCard(bool cardLying)
{
    if (mState != State::Running || cardLying == mCardLying)
        return;
    mCardLying = cardLying;
    showPrompt(cardLying ? QStringLiteral("请拿走卡片") : QStringLiteral("请放卡"), cardLying ? kGreen : kBlue);
}

void BatchWindow::do_mWorker_cardArrived(const QString &)
{
    if (mState == State::Running)
        showPrompt(QStringLiteral("正在写卡，请勿移动卡片"), kOrange);
}

// A card that needs the operator's hand sounds the alert too: the
// operator is watching the cards, not the screen.
void BatchWindow::do_mWorker_cardDone(const BatchCard &card)
{
    mTally[card.outcome]++;
    showCounts();
    const QString result = QString::fromUtf8(kOutcomeTexts[card.outcome].result);
    const QString codes = codes_text(card.codes);
    const int row = ui->tableCards->rowCount();
    ui->tableCards->insertRow(row);
    const QString cells[] = {QString::number(card.index), card.time.mid(11, 8), card.uid, result, codes};
    const bool needsHand = card.outcome == kFailed || card.outcome == kInvalid;
    for (int column = 0; column < 5; column++) {
        auto *cell = new QTableWidgetItem(cells[column]);
        if (needsHand) {
            cell->setBackground(QColor(255, 224, 224));
            cell->setForeground(QColor(kRed));
        }
        ui->tableCards->setItem(row, column, cell);
    }
    ui->tableCards->scrollToBottom();
    ui->lblLast->setText(QStringLiteral("第 %1 张 %2：%3%4。%5")
                                 .arg(card.index).arg(card.uid, result,
                                      codes.isEmpty() ? QString() : QStringLiteral("（代码 %1）").arg(codes),
                                      QString::fromUtf8(kOutcomeTexts[card.outcome].next)));
    mCardLying = true;
    if (mState == State::Running)
        showPrompt(QStringLiteral("请拿走卡片"), needsHand ? kRed : kGreen);
    if (needsHand)
        QApplication::beep();
}

void BatchWindow::do_mWorker_liftHinted()
{
    if (mState == State::Running)
        showPrompt(QStringLiteral("请拿走卡片"), kOrange);
}

void BatchWindow::do_mWorker_finished(BatchEnd end, const QString &why)
{
    enterState(State::Idle);
    if (!why.isEmpty())
        showPrompt(why, kRed);
    else if (end == BatchEnd::Counted)
        showPrompt(QStringLiteral("本批完成"), kGreen);
    else
        showPrompt(QStringLiteral("已停止"), kGrey);
    if (mCloseWhenStopped)
        close();
}

// Every control's state, for each state of the batch, in one place.
void BatchWindow::enterState(State state)
{
    mState = state;
    mCardLying = false;
    const bool idle = state == State::Idle;
    ui->comReader->setEnabled(idle && ui->comReader->count() > 1);
    ui->editCount->setEnabled(idle);
    ui->btnStart->setEnabled(idle && ui->comReader->count() > 0);
    ui->btnStop->setEnabled(state == State::Starting || state == State::Running);
}

void BatchWindow::showPrompt(const QString &text, const char *color)
{
    ui->lblPrompt->setText(text);
    ui->lblPrompt->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(color)));
}

void BatchWindow::showCounts()
{
    ui->lblPrepared->setText(QStringLiteral("已写好：%1").arg(mTally[kPrepared]));
    ui->lblAlreadyPrepared->setText(QStringLiteral("已写过：%1").arg(mTally[kAlreadyPrepared]));
    ui->lblFailed->setText(QStringLiteral("失败：%1").arg(mTally[kFailed]));
    ui->lblInvalid->setText(QStringLiteral("无效：%1").arg(mTally[kInvalid]));
    ui->lblTotal->setText(QStringLiteral("合计：%1").arg(mTally[kPrepared] + mTally[kAlreadyPrepared]
                                                        + mTally[kFailed] + mTally[kInvalid]));
}
