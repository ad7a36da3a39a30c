#include "batch_worker.h"

#include "frame_trace.h"
#include "reader.h"
#include "reader_lock.h"

#include <QDir>
#include <QRegularExpression>

namespace {

// What to do next, as the operator's guide says it, for each way a batch
// cannot start on a reader.
QString openFailure(ReaderOpen opened, const QString &detail)
{
    switch (opened) {
    case ReaderOpen::InUse:
        return QStringLiteral("读写器正被%1使用：先在那边断开或结束，再按“开始”").arg(holder_in_chinese(detail));
    case ReaderOpen::PermissionDenied:
        return QStringLiteral("没有权限打开读写器：请按操作指南第 2 节安装规则后重新插上读写器");
    case ReaderOpen::Gone:
        return QStringLiteral("读写器已拔出：请插好后按开始");
    case ReaderOpen::LockFailed:
        return QStringLiteral("读写器的锁无法使用（%1）：请删掉那个文件再按“开始”").arg(detail);
    case ReaderOpen::CannotOpen:
    case ReaderOpen::NoAnswer:
    case ReaderOpen::Opened:
        break;
    }
    return QStringLiteral("读写器打不开或不应答：请拔下读写器再插上，然后按“开始”");
}

}  // namespace

QString holder_in_chinese(const QString &holder)
{
    static const struct {
        const char *program;
        const char *name;
    } kPrograms[] = {{"QuendelWriteCard", "写卡窗口"}, {"QuendelBatch", "批量写卡窗口"},
                     {"quendel-card", "命令行程序 quendel-card"}};
    const QRegularExpressionMatch named = QRegularExpression(QStringLiteral("^(.*) \\(pid (\\d+)\\)$")).match(holder);
    if (!named.hasMatch())
        return holder == QLatin1String("another user's process") ? QStringLiteral("另一个用户的程序")
                                                                 : QStringLiteral("另一个程序");
    QString name = named.captured(1);
    for (const auto &known : kPrograms) {
        if (name.compare(QLatin1String(known.program), Qt::CaseInsensitive) == 0
                || name.compare(QLatin1String(known.program) + QLatin1String(".exe"), Qt::CaseInsensitive) == 0)
            name = QString::fromUtf8(known.name);
    }
    return QStringLiteral("%1（pid %2）").arg(name, named.captured(2));
}

BatchWorker::BatchWorker(const QString &journal, const BatchTiming &timing)
    : mJournalPath(journal), mTiming(timing)
{
    qRegisterMetaType<BatchCard>();
    qRegisterMetaType<BatchEnd>();
}

void BatchWorker::listReaders()
{
    QStringList paths;
    ReaderDeviceInfo *readers = reader_list_devices();
    for (const ReaderDeviceInfo *reader = readers; reader; reader = reader->next) {
        if (reader->path)
            paths << QString::fromLocal8Bit(reader->path);
    }
    reader_free_devices(readers);
    emit readersListed(paths);
}

// The journal first, as quendel-card does: a batch that cannot keep it does
// not start, and the reader is held from here until the batch has stopped.
void BatchWorker::run(const QString &path, int count)
{
    mJournalFailure.clear();
    Journal journal;
    QString error;
    if (!mJournalPath.isEmpty() && !journal.open(mJournalPath, error, true)) {
        emit refused(QStringLiteral("日志无法写入：%1。请关掉打开日志的程序，或腾出磁盘空间，再按“开始”").arg(error));
        return;
    }
    ReaderLock lock;
    QString detail;
    const ReaderOpen opened = open_locked_reader(lock, path, &detail);
    if (opened != ReaderOpen::Opened) {
        if (opened == ReaderOpen::NoAnswer)
            close_locked_reader(lock);
        emit refused(openFailure(opened, detail));
        return;
    }
    mCardLying = false;
    emit started();
    const BatchResult result = run_batch_cards(journal, path, count, mTiming, *this);
    close_locked_reader(lock);
    QString why;
    if (result.end == BatchEnd::ReaderLost)
        why = QStringLiteral("读写器已拔出：请插好后按开始");
    else if (result.end == BatchEnd::JournalFailed)
        why = mJournalFailure;
    emit finished(result.end, why);
}

void BatchWorker::waiting(int, bool cardLying)
{
    if (cardLying != mCardLying)
        emit waitingForCard(mCardLying = cardLying);
}

void BatchWorker::cardHandled(const BatchCard &card)
{
    mCardLying = true;
    emit cardDone(card);
}

void BatchWorker::journalFailed(const QString &error, const QString &consequence)
{
    qWarning("cannot write the journal %s: %s; %s", qUtf8Printable(mJournalPath), qUtf8Printable(error),
             qUtf8Printable(consequence));
    mJournalFailure = QStringLiteral("日志写不进去（%1），批量写卡已停止：腾出磁盘空间，或关掉打开日志的程序，"
                                     "再按“开始”").arg(error);
}

void BatchWorker::debugLines(const QStringList &lines)
{
    for (const QString &line : lines)
        qDebug("%s", qUtf8Printable(keys_masked(line)));
}
