// The command line: options, the command, and the usage errors (exit 2).
#include "commands.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>
#include <iterator>

namespace {

const char kHelp[] = R"(Usage: quendel-card [--json] [--verbose] <command> [options]
Prepares MIFARE Classic 1K cards through the USB card reader/writer.

Commands:
  list                     Every attached reader: path, product, manufacturer,
                           serial, release, and who has it in use.
  read                     Reads the card on the reader: UID, ATQA, SAK, the key
                           that opens sector 14 (site or transport), and its
                           number or "not written".
  write                    Reads the card, then prepares it.
  batch                    Prepares card after card, one line per card, until
                           --count cards or Ctrl-C/SIGTERM (the card in hand is
                           finished first); then a summary. A card left on the
                           reader is taken once; a prepared card is left alone.

Options:
  --reader PATH            read, write, batch: the reader to use (default: the
                           first one listed).
  --expect-uid HEX         write: the card's UID (8 hex digits); any other card
                           is refused before anything is written.
  --journal FILE           batch: append one CSV row per card to FILE
                           (time,reader,uid,outcome,codes), created if missing.
  --count N                batch: stop after N cards.
  --json                   JSON output (batch: one object per line).
  --verbose                The workflows' debug lines on stderr.
  -h, --help               This help.
  --version                The version.

Exit codes:
  0  success
  2  usage error
  3  no reader, the reader cannot be opened, or it was lost during a batch
  4  no card on the reader
  5  invalid card: sector 14 opens with neither key
  6  read or write failed (batch: some card failed or was invalid)
  7  another card than --expect-uid names
  8  the reader is in use by another process (named in the message)
  9  the journal cannot be opened or written
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
    const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("N"));
    QCommandLineParser parser;
    parser.addOptions({help, version, json, verbose, reader, expectUid, journal, count});
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
        {"write", {QStringLiteral("reader"), QStringLiteral("expect-uid")}},
        {"batch", {QStringLiteral("reader"), QStringLiteral("journal"), QStringLiteral("count")}},
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
                && !command->options.contains(option))
            return usageError(err, QStringLiteral("%1 takes no --%2").arg(name, option));
    }
    for (const QCommandLineOption &option : {reader, journal}) {
        if (parser.isSet(option) && parser.value(option).isEmpty())
            return usageError(err, QStringLiteral("--%1 needs a value").arg(option.names().constFirst()));
    }
    const QString uid = parser.value(expectUid);
    if (parser.isSet(expectUid) && !QRegularExpression(QStringLiteral("\\A[0-9A-Fa-f]{8}\\z")).match(uid).hasMatch())
        return usageError(err, QStringLiteral("--expect-uid takes 8 hex digits, not '%1'").arg(uid));
    BatchOptions batch{parser.value(reader), parser.value(journal), 0, timing};
    if (parser.isSet(count)) {
        bool ok = false;
        batch.count = parser.value(count).toInt(&ok);
        if (!ok || batch.count < 1)
            return usageError(err, QStringLiteral("--count takes a positive number, not '%1'")
                                           .arg(parser.value(count)));
    }

    const Session session{out, err, parser.isSet(json), parser.isSet(verbose)};
    if (name == QLatin1String("list"))
        return run_list(session);
    if (name == QLatin1String("read"))
        return run_read(session, batch.reader);
    if (name == QLatin1String("write"))
        return run_write(session, batch.reader, uid);
    return run_batch(session, batch);
}
