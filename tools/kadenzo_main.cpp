// `kadenzo SUBCOMMAND [options]`: follows the meter of music in audio files
// or live input. Each subcommand explains its own options with --help.
#include <cstdio>
#include <cstring>

#include "subcommand.h"

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: kadenzo SUBCOMMAND [OPTIONS]\n"
                 "Follows the tatum, beat and bar of music.\n\nSubcommands:\n");
    for (const Subcommand& s : subcommands()) std::fprintf(out, "  %-10s %s\n", s.name, s.summary);
    std::fprintf(out, "\nRun 'kadenzo SUBCOMMAND --help' for the options of one subcommand.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
        !std::strcmp(argv[1], "help")) {
        usage(stdout);
        return 0;
    }
    for (const Subcommand& s : subcommands())
        if (!std::strcmp(argv[1], s.name)) return s.run(argc - 1, argv + 1);
    std::fprintf(stderr, "kadenzo: unknown subcommand '%s' (try 'kadenzo --help')\n", argv[1]);
    return 2;
}
