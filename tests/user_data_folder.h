#pragma once
// Where the journal and the reader locks belong: the user's own data folder,
// which CTest moves per test on Linux and Wine keeps in its prefix.
#include <QDir>
#include <QString>
#include <QtGlobal>

inline QString userDataFolder()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("LOCALAPPDATA") + "/quendel-writecard";
#else
    return qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share") + "/quendel-writecard";
#endif
}
