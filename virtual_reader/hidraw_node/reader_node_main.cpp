// quendel-reader-node: runs a program with a reader on an emulated
// /dev/hidraw0 and a card on the reader, or a recorded trace served back,
// and exits with the program's status (77 when umockdev cannot run here; 90
// when the program's requests left the trace or stopped short of its end,
// which it then says).
//
//   quendel-reader-node [--blank | --prepared | --no-card | --replay TRACE] [--] PROGRAM [ARG...]
#include "reader_node.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vr = virtual_reader;

int main(int argc, char **argv)
{
    const vr::Uid uid = {0x1A, 0x2B, 0x3C, 0x4D};
    std::optional<vr::Card> card = vr::Card::blank(uid);
    const char *trace = nullptr;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (!std::strcmp(argv[first], "--")) {
            ++first;
            break;
        }
        if (!std::strcmp(argv[first], "--replay") && first + 1 < argc)
            trace = argv[++first];
        else if (!std::strcmp(argv[first], "--prepared"))
            card = vr::Card::prepared(uid);
        else if (!std::strcmp(argv[first], "--no-card"))
            card.reset();
        else if (std::strcmp(argv[first], "--blank"))
            break;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: %s [--blank | --prepared | --no-card | --replay TRACE] [--] PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }

    ReaderNode node;
    std::string why;
    if (!node.start(QUENDEL_READER_DESCRIPTION, &why) || !node.preloadTakes(&why)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
        return 77;
    }
    if (trace && !node.replay(trace, &why)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
        return 2;
    }
    if (card)
        node.with([&card](vr::Reader &reader) { reader.layCard(*card); });
    const pid_t pid = node.spawn(std::vector<std::string>(argv + first, argv + argc));
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        std::perror(argv[first]);
        return 127;
    }
    const std::string verdict = node.replayVerdict();
    if (!verdict.empty()) {
        std::fprintf(stderr, "%s: the replay failed: %s\n", argv[0], verdict.c_str());
        return 90;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
