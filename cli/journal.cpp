#include "journal.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// QFile has no fsync; the descriptor is opened here so that it can be synced
// on every platform.
int openForAppend(const QString &path)
{
#ifdef _WIN32
    return _wopen(reinterpret_cast<const wchar_t *>(path.utf16()),
                  _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
#endif
}

void closeFd(int fd)
{
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
}

// A pipe or a terminal has nothing to sync (EINVAL): the row has gone on.
bool syncToDisk(int fd)
{
#ifdef _WIN32
    return _commit(fd) == 0 || errno == EINVAL;
#else
    return ::fsync(fd) == 0 || errno == EINVAL;
#endif
}

// One CSV field, quoted when it holds a comma, a quote, CR or LF.
QString csv_field(const QString &text)
{
    static const QString special = QStringLiteral(",\"\r\n");
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return special.contains(c); }))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

bool Journal::open(const QString &path, QString &error)
{
    const int fd = openForAppend(path);
    if (fd < 0) {
        error = qt_error_string(errno);
        return false;
    }
    if (!mFile.open(fd, QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        error = mFile.errorString();
        closeFd(fd);
        return false;
    }
    if (mFile.size() == 0)
        return writeDurably("time,reader,uid,outcome,codes\r\n", error);
    // A row cut short by a crash must not swallow the next one.
    if (!mFile.seek(mFile.size() - 1)) {
        error = mFile.errorString();
        return false;
    }
    char last = '\n';
    if (mFile.read(&last, 1) != 1) {
        error = mFile.errorString();
        return false;
    }
    return last == '\n' || writeDurably("\r\n", error);
}

bool Journal::append(const QStringList &fields, QString &error)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted << csv_field(field);
    return writeDurably((quoted.join(QLatin1Char(',')) + QLatin1String("\r\n")).toUtf8(), error);
}

bool Journal::writeDurably(const QByteArray &bytes, QString &error)
{
    if (mFile.write(bytes) != bytes.size() || !mFile.flush()) {
        error = mFile.errorString();
        return false;
    }
    if (!syncToDisk(mFile.handle())) {
        error = qt_error_string(errno);
        return false;
    }
    return true;
}
