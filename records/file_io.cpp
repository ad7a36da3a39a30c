#include "file_io.h"

#include <QRandomGenerator>

namespace file_io {

// A descriptor that another user opened on an earlier trace, or a hard link
// made to it, would read on into a file truncated and written anew: the
// trace is a new file, made beside and moved over the old name.
bool openPrivately(QFile &file, const QString &path, QString &error)
{
    const QString problem = foreignFile(path);
    if (!problem.isEmpty()) {
        error = QStringLiteral("%1 %2: remove it, or name another file").arg(path, problem);
        return false;
    }
    const QString temporary = path + QStringLiteral(".%1.new").arg(QRandomGenerator::global()->generate(), 8, 16,
                                                                   QLatin1Char('0'));
    const int fd = createPrivately(temporary, error);
    if (fd < 0)
        return false;
    if (!moveOver(temporary, path, error)) {
        closeFd(fd);
        QFile::remove(temporary);
        return false;
    }
    file.setFileName(path);
    if (file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
        return true;
    error = file.errorString();
    closeFd(fd);
    return false;
}

}  // namespace file_io
