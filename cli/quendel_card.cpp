// The command line: options, the command, and the usage errors (exit 2).
#include "commands.h"
#include "console.h"
#include "frame_trace.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>
#include <iterator>

namespace {

const char kHelp[] = R"(Usage: quendel-card [--json] [--verbose] <command> [options]
Prepares MIFARE Classic 1K cards through the USB card reader/writer.

Commands:
  list                     Every attached reader: path, product, manufacturer,
                           serial, release, whether this user may open it, and
                           who has it in use.
  read                     Reads the card on the reader: UID, ATQA, SAK, the key
                           that opens sector 14 (site or transport), and its
                           number or "not written".
  write                    Reads the card, prepares it and reads it back: it is
                           "prepared" only when it reads back its own number
                           under the site key.
  batch                    Prepares card after card, one line per card, until
                           --count cards or Ctrl-C/SIGTERM/SIGHUP or a closed
                           output (the card in hand is finished first); then a
                           summary. A card is taken when it arrives: laid on an
                           empty reader, or in place of another. A card left
                           lying is taken once; a card lifted and laid again is
                           taken again (a failed card is retried). A prepared
                           card is left alone.

Options:
  --reader PATH            read, write, batch: the reader to use (default: the
                           first one listed).
  --expect-uid HEX         write: the card's UID (8 hex digits); any other card
                           is refused before anything is written.
  --journal FILE           write, batch: the journal to append to, created if
                           missing (default: $XDG_DATA_HOME/quendel-writecard/
                           journal.csv). CSV rows time,reader,uid,outcome,codes:
                           a "writing" row before a card is written, then one
                           row with its outcome.
  --no-journal             write, batch: keep no journal.
  --count N                batch: stop after N cards.
  --json                   JSON output (batch: one object per line).
  --trace FILE             A trace of every report to and from the reader, for
                           support; the keys are left out.
  --verbose                The workflows' debug lines on stderr, the keys
                           replaced by markers.
  -h, --help               This help.
  --version                The version.

Exit codes:
  0  success
  2  usage error
  3  no reader, the reader is gone, cannot be opened or does not answer, or it
     was lost during a batch
  4  no card on the reader
  5  invalid card: sector 14 opens with neither key
  6  read or write failed (batch: some card failed or was invalid)
  7  another card than --expect-uid names
  8  the reader is in use by another process (named in the message)
  9  the journal, or a file or lock of its own, cannot be used
  10 no permission to open the reader (the udev rule, the seat)

Codes of a failed write, one per failed attempt: 1 no card or another card,
2 authentication refused, 4 block 56 not written, 5 the key change failed;
then 6 when the card, written, did not read back prepared.
)";

struct Command {
    const char *name;
    QStringList options;  // the options it takes besides --json and --verbose
};

int usageError(QTextStream &err, const QString &message)
{
    err << "quendel-card: " << message << "\nTry 'quendel-card --help'.\n";
    err.flush();
    return kExitUsage;
}

}  // namespace

int run_quendel_card(const QStringList &args, QTextStream &out, QTextStream &err, const BatchTiming &timing)
{
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    const QCommandLineOption reader(QStringLiteral("reader"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption expectUid(QStringLiteral("expect-uid"), QString(), QStringLiteral("HEX"));
    const QCommandLineOption journal(QStringLiteral("journal"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption trace(QStringLiteral("trace"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption noJournal(QStringLiteral("no-journal"));
    const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("N"));
    QCommandLineParser parser;
    parser.addOptions({help, version, json, verbose, trace, reader, expectUid, journal, noJournal, count});
    if (!parser.parse(args))
        return usageError(err, parser.errorText());
    if (parser.isSet(help)) {
        out << kHelp;
        out.flush();
        return kExitOk;
    }
    if (parser.isSet(version)) {
        out << "quendel-card " QUENDEL_VERSION "\n";
        out.flush();
        return kExitOk;
    }

    const Command commands[] = {
        {"list", {}},
        {"read", {QStringLiteral("reader")}},
        {"write", {QStringLiteral("reader"), QStringLiteral("expect-uid"), QStringLiteral("journal"),
                   QStringLiteral("no-journal")}},
        {"batch", {QStringLiteral("reader"), QStringLiteral("journal"), QStringLiteral("no-journal"),
                   QStringLiteral("count")}},
    };
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(err, QStringLiteral("no command given"));
    if (positional.size() > 1)
        return usageError(err, QStringLiteral("unexpected argument '%1'").arg(positional[1]));
    const QString name = positional[0];
    const Command *command = std::find_if(std::begin(commands), std::end(commands),
                                          [&](const Command &c) { return name == QLatin1String(c.name); });
    if (command == std::end(commands))
        return usageError(err, QStringLiteral("unknown command '%1'").arg(name));
    for (const QString &option : parser.optionNames()) {
        if (option != QLatin1String("json") && option != QLatin1String("verbose")
                && option != QLatin1String("trace") && !command->options.contains(option))
            return usageError(err, QStringLiteral("%1 takes no --%2").arg(name, option));
    }
    for (const QCommandLineOption &option : {reader, journal, trace}) {
        if (parser.isSet(option) && parser.value(option).isEmpty())
            return usageError(err, QStringLiteral("--%1 needs a value").arg(option.names().constFirst()));
    }
    if (parser.isSet(journal) && parser.isSet(noJournal))
        return usageError(err, QStringLiteral("--journal and --no-journal exclude each other"));
    const QString uid = parser.value(expectUid);
    if (parser.isSet(expectUid) && !QRegularExpression(QStringLiteral("\\A[0-9A-Fa-f]{8}\\z")).match(uid).hasMatch())
        return usageError(err, QStringLiteral("--expect-uid takes 8 hex digits, not '%1'").arg(uid));
    BatchOptions batch{parser.value(reader), parser.value(journal), parser.isSet(noJournal), 0, timing};
    if (parser.isSet(count)) {
        bool ok = false;
        batch.count = parser.value(count).toInt(&ok);
        if (!ok || batch.count < 1)
            return usageError(err, QStringLiteral("--count takes a positive number, not '%1'")
                                           .arg(parser.value(count)));
    }

    const Session session{out, err, parser.isSet(json), parser.isSet(verbose), err.device() && stderr_takes_status_line()};
    QString error;
    if (!trace_start(parser.value(trace), QStringLiteral("quendel-card " QUENDEL_VERSION),
                     {default_journal_path(), batch.journal}, error)) {
        session.tell(QStringLiteral("cannot write the trace %1: %2").arg(parser.value(trace), error));
        return kExitUsage;
    }
    int status;
    if (name == QLatin1String("list"))
        status = run_list(session);
    else if (name == QLatin1String("read"))
        status = run_read(session, batch.reader);
    else if (name == QLatin1String("write"))
        status = run_write(session, batch, uid);
    else
        status = run_batch(session, batch);
    trace_stop();
    return status;
}
