#include "subcommand.h"

std::vector<Subcommand>& subcommands() {
    static std::vector<Subcommand> all;
    return all;
}
