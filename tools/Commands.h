// facepadctl's subcommands. Each Add function declares one subcommand's
// options on `parent`, into storage of its own, and returns the handler
// that runs it once the command line is parsed.
#ifndef FACEPADCTL_COMMANDS_H
#define FACEPADCTL_COMMANDS_H

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

#include "Globals.h"

namespace Facepadctl {

struct Subcommand {
  CLI::App* app;
  std::function<int(const Globals&)> run;  // returns the exit code
};

// Every subcommand, in the order `--help` lists them.
std::vector<Subcommand> AddSubcommands(CLI::App& parent);

// Defined beside their own machinery.
Subcommand AddWatch(CLI::App& parent);
Subcommand AddCheck(CLI::App& parent);
Subcommand AddSync(CLI::App& parent);
Subcommand AddImport(CLI::App& parent);
Subcommand AddLedger(CLI::App& parent);

}  // namespace Facepadctl

#endif  // FACEPADCTL_COMMANDS_H
