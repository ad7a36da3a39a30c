#include "quendel_card.h"

#include <QCoreApplication>

#include <hidapi.h>

#include <csignal>
#include <cstdio>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

UINT consoleCodePage = 0;

// Ctrl-C outside a batch ends the program at once: the console gets its
// code page back first.
BOOL WINAPI restoreConsoleCodePage(DWORD)
{
    SetConsoleOutputCP(consoleCodePage);
    return FALSE;
}

}  // namespace
#endif

int main(int argc, char *argv[])
{
#ifndef _WIN32
    // A closed stdout or a file size limit must fail the write that meets
    // it, not kill the program between a card and its journal row.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#else
    // The output is UTF-8 (a reader's product name may be Chinese); a
    // console shows it so only when told, and keeps the system's code page
    // (936 on a Chinese Windows) otherwise.
    consoleCodePage = GetConsoleOutputCP();
    if (consoleCodePage != 0 && SetConsoleOutputCP(CP_UTF8))
        SetConsoleCtrlHandler(restoreConsoleCodePage, TRUE);
#endif
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = run_quendel_card(app.arguments(), out, err);
    hid_exit();
#ifdef _WIN32
    if (consoleCodePage != 0)
        SetConsoleOutputCP(consoleCodePage);
#endif
    return status;
}
