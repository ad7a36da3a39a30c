#include "commands.h"

#include "card_display.h"
#include "frame_trace.h"
#include "reader.h"
#include "reader_lock.h"

#include <QJsonDocument>

namespace {

QJsonValue jsonString(const wchar_t *text)
{
    return text ? QJsonValue(QString::fromWCharArray(text)) : QJsonValue(QJsonValue::Null);
}

// Held from the open to the close of the reader.
ReaderLock readerLock;

QString textOf(const QJsonValue &value)
{
    return value.isNull() ? QStringLiteral("-") : value.toString();
}

// Fills `card` from the card on the open reader; an exit status.
int readCard(const Session &session, CardInfo &card)
{
    const ReadResult result = read_card();
    card = result.card;
    switch (result.outcome) {
    case ReadOutcome::NoCard:
        session.tell(QStringLiteral("no card on the reader"));
        return kExitNoCard;
    case ReadOutcome::InvalidCard:
        session.tell(QStringLiteral("card %1 is invalid: sector 14 opens with neither key")
                             .arg(QLatin1String(uidHex(card.uid))));
        return kExitInvalidCard;
    case ReadOutcome::ReadFailed:
        session.tell(QStringLiteral("reading card %1 failed").arg(QLatin1String(uidHex(card.uid))));
        return kExitFailed;
    case ReadOutcome::Read:
        break;
    }
    session.log(read_log_lines(card));
    return kExitOk;
}

}  // namespace

void Session::print(const QJsonObject &object) const
{
    out << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
    out.flush();
}

void Session::print(const QString &line) const
{
    out << line << '\n';
    out.flush();
}

void Session::tell(const QString &message) const
{
    err << "quendel-card: " << message << '\n';
    err.flush();
}

void Session::log(const QStringList &lines) const
{
    if (!verbose)
        return;
    for (const QString &line : lines)
        err << keys_masked(line) << '\n';
    err.flush();
}

int open_reader(const Session &session, const QString &wanted, QString &path)
{
    path = wanted;
    if (path.isEmpty()) {
        ReaderDeviceInfo *readers = reader_list_devices();
        if (readers && readers->path)
            path = QString::fromLocal8Bit(readers->path);
        reader_free_devices(readers);
        if (path.isEmpty()) {
            session.tell(QStringLiteral("no reader attached"));
            return kExitNoReader;
        }
    }
    QString holder;
    switch (open_locked_reader(readerLock, path, &holder)) {
    case ReaderOpen::InUse:
        session.tell(QStringLiteral("the reader %1 is in use by %2").arg(path, holder));
        return kExitReaderInUse;
    case ReaderOpen::PermissionDenied:
        session.tell(QStringLiteral("no permission to open the reader %1: install the package's udev rule "
                                    "and plug the reader in again, or log in at the computer's own seat "
                                    "(see section 2 of the operator's guide)").arg(path));
        return kExitPermission;
    case ReaderOpen::Gone:
        session.tell(QStringLiteral("the reader %1 is gone; plug it in and retry").arg(path));
        return kExitNoReader;
    case ReaderOpen::CannotOpen:
        session.tell(QStringLiteral("cannot open the reader %1; unplug it, plug it in again and retry").arg(path));
        return kExitNoReader;
    case ReaderOpen::LockFailed:
        session.tell(QStringLiteral("cannot lock the reader %1: %2").arg(path, holder));
        return kExitJournal;
    case ReaderOpen::NoAnswer:
        close_reader();
        session.tell(QStringLiteral("the reader %1 does not answer; unplug it, plug it in again and retry")
                             .arg(path));
        return kExitNoReader;
    case ReaderOpen::Opened:
        break;
    }
    return kExitOk;
}

void close_reader()
{
    close_locked_reader(readerLock);
}

int open_journal(const Session &session, const BatchOptions &options, Journal &journal)
{
    if (options.noJournal)
        return kExitOk;
    const bool byDefault = options.journal.isEmpty();
    const QString file = byDefault ? default_journal_path() : options.journal;
    QString error;
    if (!journal.open(file, error, byDefault)) {
        session.tell(QStringLiteral("cannot open the journal %1: %2; name another with --journal FILE")
                             .arg(file, error));
        return kExitJournal;
    }
    return kExitOk;
}

int tell_journal_failure(const Session &session, const Journal &journal, const QString &error,
                         const QString &consequence)
{
    session.tell(QStringLiteral("cannot write the journal %1: %2; %3. Free some space, or name another "
                                "journal with --journal FILE").arg(journal.path(), error, consequence));
    return kExitJournal;
}

QString codes_suffix(const QList<int> &codes)
{
    return codes.isEmpty() ? QString() : QStringLiteral(" (codes %1)").arg(codes_text(codes));
}

QJsonArray codes_json(const QList<int> &codes)
{
    QJsonArray array;
    for (int code : codes)
        array.append(code);
    return array;
}

int run_list(const Session &session)
{
    QJsonArray readers;
    ReaderDeviceInfo *list = reader_list_devices();
    for (const ReaderDeviceInfo *reader = list; reader; reader = reader->next) {
        const QString path = reader->path ? QString::fromLocal8Bit(reader->path) : QString();
        const QString holder = path.isEmpty() ? QString() : ReaderLock::holderOf(path);
        readers.append(QJsonObject{
                {QStringLiteral("path"), path.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(path)},
                {QStringLiteral("product"), jsonString(reader->product_string)},
                {QStringLiteral("manufacturer"), jsonString(reader->manufacturer_string)},
                {QStringLiteral("serial"), jsonString(reader->serial_number)},
                {QStringLiteral("release"), QString::asprintf("%04X", reader->release_number)},
                {QStringLiteral("in_use_by"), holder.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(holder)},
                {QStringLiteral("may_open"), path.isEmpty() || reader_accessible(path)},
        });
    }
    reader_free_devices(list);

    if (session.json) {
        session.out << QJsonDocument(readers).toJson(QJsonDocument::Compact) << '\n';
        session.out.flush();
    } else {
        for (int i = 0; i < readers.size(); i++) {
            const QJsonObject reader = readers[i].toObject();
            if (i > 0)
                session.print(QString());
            for (const char *field : {"path", "product", "manufacturer", "serial", "release"})
                session.print(QStringLiteral("%1: %2").arg(QLatin1String(field),
                                                           textOf(reader[QLatin1String(field)])));
            if (!reader[QLatin1String("may_open")].toBool())
                session.print(QStringLiteral("may open: no (permission denied)"));
            if (!reader[QLatin1String("in_use_by")].isNull())
                session.print(QStringLiteral("in use by: %1").arg(reader[QLatin1String("in_use_by")].toString()));
        }
    }
    if (readers.isEmpty()) {
        session.tell(QStringLiteral("no reader attached"));
        return kExitNoReader;
    }
    return kExitOk;
}

int run_read(const Session &session, const QString &reader)
{
    QString path;
    if (const int status = open_reader(session, reader, path))
        return status;
    CardInfo card;
    const int status = readCard(session, card);
    close_reader();
    if (status != kExitOk)
        return status;

    const bool numbered = card_carries_own_number(card);
    const QJsonObject result{
            {QStringLiteral("uid"), QString::fromLatin1(uidHex(card.uid))},
            // Second byte first, as the debug line shows it.
            {QStringLiteral("atqa"), QString::asprintf("%02X%02X", card.atqa[1], card.atqa[0])},
            {QStringLiteral("sak"), QString::asprintf("%02X", card.sak)},
            {QStringLiteral("key"), card_is_on_site_key(card) ? QStringLiteral("site") : QStringLiteral("transport")},
            {QStringLiteral("number"), numbered ? QJsonValue(QString::fromLatin1(uidHex(card.uid)))
                                                : QJsonValue(QJsonValue::Null)},
    };
    if (session.json) {
        session.print(result);
        return kExitOk;
    }
    for (const char *field : {"uid", "atqa", "sak", "key"})
        session.print(QStringLiteral("%1: %2").arg(QLatin1String(field), result[QLatin1String(field)].toString()));
    session.print(QStringLiteral("number: %1").arg(numbered ? result[QLatin1String("uid")].toString()
                                                            : QStringLiteral("not written")));
    return kExitOk;
}

int run_write(const Session &session, const BatchOptions &options, const QString &expectUid)
{
    Journal journal;
    if (const int status = open_journal(session, options, journal))
        return status;
    QString path;
    if (const int status = open_reader(session, options.reader, path))
        return status;
    CardInfo card;
    int status = readCard(session, card);
    const QString uid = QString::fromLatin1(uidHex(card.uid));
    if (status == kExitOk && !expectUid.isEmpty() && uid.compare(expectUid, Qt::CaseInsensitive) != 0) {
        session.tell(QStringLiteral("card %1 is not the expected %2; nothing written")
                             .arg(uid, expectUid.toUpper()));
        status = kExitOtherCard;
    }
    QList<int> codes;
    bool prepared = false;
    QString error;
    const auto log = [&](const QStringList &lines) { session.log(lines); };
    if (status == kExitOk && !write_journalled(journal, path, card, log, codes, prepared, error))
        status = tell_journal_failure(session, journal, error, QStringLiteral("card %1 was not written").arg(uid));
    close_reader();
    if (status != kExitOk)
        return status;

    const QString outcome = prepared ? QStringLiteral("prepared") : QStringLiteral("failed");
    if (journal.isOpen() && !journal.append({journal_time(), path, uid, outcome, codes_text(codes)}, error))
        status = tell_journal_failure(session, journal, error,
                                      QStringLiteral("card %1 is in it only as being written").arg(uid));
    if (session.json)
        session.print(QJsonObject{{QStringLiteral("uid"), uid},
                                  {QStringLiteral("outcome"), outcome},
                                  {QStringLiteral("codes"), codes_json(codes)}});
    else
        session.print(uid + QLatin1Char(' ') + outcome + codes_suffix(codes));
    if (status != kExitOk)
        return status;
    return prepared ? kExitOk : kExitFailed;
}
