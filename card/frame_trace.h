// A trace of the reader link that an operator can send to support: a
// header naming the program, the machine and the reader, then one line per
// report with the milliseconds since the start, the direction and the bytes
// in hex. Key bytes never go in: they are replaced by a marker naming the
// key, and the checksum of such a frame by a marker too. The lines also go
// to the logging category "quendel.reader.frames" (off by default).
#pragma once

#include <QString>
#include <QStringList>

// Starts tracing into `file` (empty: only the logging category, when it is
// on). False, with the reason, when the file cannot be written, or is one of
// the `journals` or their pending files, whose rows it would replace.
bool trace_start(const QString &file, const QString &program, const QStringList &journals, QString &error);
// Adds the reader just opened at `path` to the trace.
void trace_reader(const QString &path);
void trace_stop();

// A debug line with either key, as those lines render keys ("d4 7e 0b …"),
// replaced by the trace's marker: for every output but the window's own log.
QString keys_masked(QString line);

// One report as a trace line, keys and their checksums replaced.
QString trace_line(bool written, const unsigned char *report, int result, long long ms);
