// The commands of quendel-card and what they share. Internal to the
// command line.
#pragma once

#include "batch.h"
#include "card_workflows.h"
#include "journal.h"
#include "quendel_card.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTextStream>

struct Session {
    QTextStream &out;
    QTextStream &err;
    bool json;
    bool verbose;
    bool terminal;  // stderr is a terminal that takes the status line

    void print(const QJsonObject &object) const;
    void print(const QString &line) const;
    // False once a print failed: stdout is closed.
    bool outputOpen() const { return out.status() == QTextStream::Ok; }
    // Errors and notes: to stderr, with the program name.
    void tell(const QString &message) const;
    // The workflows' debug lines as the window logs them, but with the keys
    // replaced by markers as in a trace; only with --verbose.
    void log(const QStringList &lines) const;
};

// Every reader the command line uses is opened and closed through this pair,
// which holds the reader's lock in between: a reader in use by another
// process (the window, another batch) is refused with its holder named.
// `wanted` empty means the first reader listed; `path` receives the one
// opened. A reader that does not answer the connect command that follows
// the open is closed again. Returns an exit status.
int open_reader(const Session &session, const QString &wanted, QString &path);
void close_reader();

struct BatchOptions {
    QString reader;
    QString journal;         // empty: the default journal
    bool noJournal = false;
    int count = 0;           // 0: until stopped
    BatchTiming timing;
};

// The journal that write and batch keep, as the options name it, opened
// before any reader. Returns an exit status.
int open_journal(const Session &session, const BatchOptions &options, Journal &journal);
// Says why the journal could not take a row (`error`), what that means
// for the card (`consequence`), and what to do; returns kExitJournal.
int tell_journal_failure(const Session &session, const Journal &journal, const QString &error,
                         const QString &consequence);
// After an outcome in the text output: " (codes 1 1 4)", or nothing.
QString codes_suffix(const QList<int> &codes);
QJsonArray codes_json(const QList<int> &codes);

int run_list(const Session &session);
int run_read(const Session &session, const QString &reader);
int run_write(const Session &session, const BatchOptions &options, const QString &expectUid);
int run_batch(const Session &session, const BatchOptions &options);
