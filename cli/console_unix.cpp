#include "console.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>

void console_set_up()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

// A terminal shows UTF-8 as it is set up to; nothing to give back.
void console_restore() {}

bool stderr_takes_status_line() { return isatty(STDERR_FILENO); }

void write_stderr(const char *bytes, int size)
{
    const ssize_t ignored = ::write(STDERR_FILENO, bytes, static_cast<size_t>(size));
    (void)ignored;
}

bool output_pipe_closed()
{
    pollfd out = {STDOUT_FILENO, 0, 0};
    return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR);
}
