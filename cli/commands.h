// The commands of quendel-card and what they share. Internal to the
// command line.
#pragma once

#include "card_workflows.h"
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

    void print(const QJsonObject &object) const;
    void print(const QString &line) const;
    void fail(const QString &message) const;  // to stderr, with the program name
    // The workflows' debug lines, exactly as the window logs them; only with --verbose.
    void log(const QStringList &lines) const;
};

// Every reader the command line uses is opened and closed through this pair,
// which holds the reader's lock in between: a reader in use by another
// process (the window, another batch) is refused with its holder named. `wanted` empty means the first reader listed; `path` receives the
// one opened. The connect command follows the open; its answer does not
// matter, as in the window. Returns an exit status.
int open_reader(const Session &session, const QString &wanted, QString &path);
void close_reader();

// write_card() with the window's debug lines around it.
WriteResult write_logged(const Session &session, const CardInfo &card);
// The codes of the failed attempts, in order.
QList<int> attempt_codes(const WriteResult &result);
// "1 1 4"; empty when no attempt failed.
QString codes_text(const QList<int> &codes);
// After an outcome in the text output: " (codes 1 1 4)", or nothing.
QString codes_suffix(const QList<int> &codes);
QJsonArray codes_json(const QList<int> &codes);

int run_list(const Session &session);
int run_read(const Session &session, const QString &reader);
int run_write(const Session &session, const QString &reader, const QString &expectUid);

struct BatchOptions {
    QString reader;
    QString journal;  // empty: none
    int count = 0;    // 0: until stopped
    BatchTiming timing;
};
int run_batch(const Session &session, const BatchOptions &options);
