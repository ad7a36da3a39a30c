// The card journal: an append-only CSV file (RFC 4180, CRLF line ends) with
// the header row "time,reader,uid,outcome,codes" and one row per event. Both
// front ends append to it, and several processes may append to one file: the
// file is locked for each row, so the header is written once and rows never
// interleave.
#pragma once

#include <QString>
#include <QStringList>

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Opens `path` for appending, creating it when missing (and, with
    // `createFolder`, its folder); a new or empty file gets the header row.
    // False, with the reason, when it cannot.
    bool open(const QString &path, QString &error, bool createFolder = false);
    // Writes one row and has it on the disk before returning, so that a crash
    // or power cut loses no row already reported. A row that does not fit
    // (disk full, file size limit) is taken back whole: never half a row.
    bool append(const QStringList &fields, QString &error);
    bool isOpen() const { return mFd >= 0; }
    QString path() const { return mPath; }

private:
    bool appendLocked(const QByteArray &bytes, QString &error);
    bool writeWhole(const QByteArray &bytes, QString &error);
    bool writeOut(const QByteArray &out, qint64 size, QString &error);

    int mFd = -1;
    bool mRegular = true;
    QString mPath;
};

// $XDG_DATA_HOME/quendel-writecard/journal.csv, or the platform's per-user
// data location.
QString default_journal_path();

// Now, in ISO 8601 with the UTC offset always spelt out (+00:00 rather than
// Z), so that every row reads the same way.
QString journal_time();
