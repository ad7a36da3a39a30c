// The card journal: an append-only CSV file (RFC 4180, CRLF line ends) with
// the header row "time,reader,uid,outcome,codes" and one row per event. Both
// front ends append to it, and several processes may append to one file: the
// file is locked for each row, so the header is written once and rows never
// interleave. Only a regular file can be a journal: a pipe or a device keeps
// no row on the disk.
//
// A row that the journal cannot take (another program holds it, as a
// spreadsheet does on Windows) can be kept in the pending file beside it;
// pending rows go into the journal, in order, ahead of the next row it takes.
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
    // `createFolder`, its folder); a new or empty file gets the header row,
    // then the pending rows go in. False, with the reason, when it cannot.
    bool open(const QString &path, QString &error, bool createFolder = false);
    // Writes one row and has it on the disk before returning, so that a crash
    // or power cut loses no row already reported. A row that does not fit or
    // cannot be synced (disk full, file size limit, a failing disk) is taken
    // back whole: never half a row, never a row reported missing that stays.
    bool append(const QStringList &fields, QString &error);
    bool isOpen() const { return mFd >= 0; }
    QString path() const { return mPath; }

    // Keeps the row in the pending file of the journal at `journal`, synced.
    static bool keepPending(const QString &journal, const QStringList &fields, QString &error);

private:
    explicit Journal(const QString &journal) : mJournal(journal) {}
    bool openFile(QString &error);
    bool appendLocked(const QByteArray &row, QString &error);
    bool drainPending(QString &error);
    bool writeWhole(const QByteArray &rows, QString &error);
    bool writeOut(const QByteArray &out, qint64 size, QString &error);

    int mFd = -1;
    QString mJournal;  // this is the pending file of that journal: no header, no pending rows of its own
    QString mPath;
};

// The file beside the journal at `journal` where rows wait that it could not take.
QString pending_rows_path(const QString &journal);

// $XDG_DATA_HOME/quendel-writecard/journal.csv, or the platform's per-user
// data location.
QString default_journal_path();

// Now, in ISO 8601 with the UTC offset always spelt out (+00:00 rather than
// Z), so that every row reads the same way.
QString journal_time();
