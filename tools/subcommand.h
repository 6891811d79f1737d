// Subcommands of the `kadenzo` command register themselves here, so that each
// lives in its own file and main() needs to know none of them.
#ifndef KADENZO_TOOLS_SUBCOMMAND_H
#define KADENZO_TOOLS_SUBCOMMAND_H

#include <vector>

struct Subcommand {
    const char* name;     // as typed: "analyze"
    const char* summary;  // one line for `kadenzo --help`
    int (*run)(int argc, char** argv);  // argv[0] is the subcommand's name
};

// All registered subcommands, in registration order.
std::vector<Subcommand>& subcommands();

inline bool registerSubcommand(const Subcommand& s) {
    subcommands().push_back(s);
    return true;
}

// Use once at namespace scope in the subcommand's file.
#define KADENZO_SUBCOMMAND(ident, name, summary, fn) \
    static const bool kadenzo_subcommand_##ident = registerSubcommand({name, summary, fn})

#endif
