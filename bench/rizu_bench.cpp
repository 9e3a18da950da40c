// rizu-bench: the module's benchmarks, one subcommand each. Every
// subcommand prints `key: value` lines.
#include <apr_general.h>

#include <cstdio>
#include <cstring>

int benchLoad(int argc, char **argv);
int benchMatch(int argc, char **argv);
int benchGet(int argc, char **argv);
int benchPost(int argc, char **argv);

namespace {
struct Command {
  const char *name;
  int (*run)(int, char **);
  const char *what;
};
const Command kCommands[] = {
    {"load", benchLoad, "one whole configuration load of full tables"},
    {"match", benchMatch, "the keyword automaton against Hyperscan"},
    {"get", benchGet, "the response keyword check on clean pages, full tables"},
    {"post", benchPost, "the POST keyword check on a 48 KiB body, full and small tables"},
};
}  // namespace

int main(int argc, char **argv) {
  apr_initialize();
  int rc = 2;
  if (argc >= 2) {
    for (const auto &c : kCommands)
      if (std::strcmp(argv[1], c.name) == 0) rc = c.run(argc - 1, argv + 1);
  }
  if (rc == 2) {
    std::fprintf(stderr, "usage: rizu-bench COMMAND\n");
    for (const auto &c : kCommands) std::fprintf(stderr, "  %-8s %s\n", c.name, c.what);
  }
  apr_terminate();
  return rc;
}
