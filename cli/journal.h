// The batch journal: an append-only CSV file (RFC 4180, CRLF line ends) with
// the header row "time,reader,uid,outcome,codes", one row per card.
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

class Journal {
public:
    // Opens `path` for appending, creating it when missing; a new or empty
    // file gets the header row. False, with the reason, when it cannot.
    bool open(const QString &path, QString &error);
    // Writes one row and has it on the disk before returning, so that a crash
    // or power cut loses no card already reported.
    bool append(const QStringList &fields, QString &error);
    bool isOpen() const { return mFile.isOpen(); }

private:
    bool writeDurably(const QByteArray &bytes, QString &error);

    QFile mFile;
};
