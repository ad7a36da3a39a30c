#include "console.h"

#include <cstdio>

#include <io.h>
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

// A console keeps the system's code page (936 on a Chinese Windows) unless
// told otherwise. A closed pipe fails a write here without a signal.
void console_set_up()
{
    consoleCodePage = GetConsoleOutputCP();
    if (consoleCodePage != 0 && SetConsoleOutputCP(CP_UTF8))
        SetConsoleCtrlHandler(restoreConsoleCodePage, TRUE);
}

void console_restore()
{
    if (consoleCodePage != 0)
        SetConsoleOutputCP(consoleCodePage);
}

// A console understands VT sequences only when asked to.
bool stderr_takes_status_line()
{
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return _isatty(_fileno(stderr)) && GetConsoleMode(console, &mode)
            && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void write_stderr(const char *bytes, int size)
{
    const int ignored = _write(2, bytes, static_cast<unsigned>(size));
    (void)ignored;
}

bool output_pipe_closed() { return false; }
