// facepadctl: talks to a facepad service through the TerminalFace_ZR adaptor,
// one operation per subcommand, and enrols persons in bulk from CSV files.
// docs/facepadctl.md is the operator's reference.
#include <CLI/CLI.hpp>

#include <csignal>
#include <iostream>

#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "Output.h"
#include "PersonInput.h"

namespace Facepadctl {
namespace {

constexpr const char* kTryHelp = "run 'facepadctl --help' or 'facepadctl help COMMAND' for usage";

// Global options that take a value, so the command word can be found before
// the command line is parsed.
bool TakesValue(const std::string& option) {
  return option == "--host" || option == "--port" || option == "--timeout";
}

// The first word that is neither an option nor an option's value.
std::string CommandWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.empty() || word[0] != '-') return word;
    if (TakesValue(word)) ++i;
  }
  return {};
}

void AddGlobalOptions(CLI::App& app, Globals& globals) {
  app.add_option("--host", globals.host, "address of the facepad service")->capture_default_str();
  app.add_option("--port", globals.port, "port of the facepad service")
      ->check(Whole(1, 65535))
      ->capture_default_str();
  app.add_flag("--json", globals.json, "one JSON object per line on stdout");
  app.add_flag("-v,--verbose", globals.verbose, "print the library's log records on stderr");
  app.add_option("--timeout", globals.timeoutSeconds, "HTTP time-out in seconds")
      ->check(Seconds(false))
      ->capture_default_str();
}

// The long options of `command` and of the tool, as typed ("--sn").
std::vector<std::string> OptionNames(const CLI::App& app, const CLI::App* command) {
  std::vector<std::string> names;
  for (const CLI::App* owner : {&app, command}) {
    if (owner == nullptr) continue;
    for (const CLI::Option* option : owner->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
  }
  return names;
}

// What is wrong with the first option on the command line that no one
// knows, with a "did you mean"; empty when there is none.
std::string OptionHint(int argc, char** argv, const CLI::App& app, const CLI::App* command) {
  const std::vector<std::string> names = OptionNames(app, command);
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.compare(0, 2, "--") != 0) continue;
    if (const std::size_t equals = word.find('='); equals != std::string::npos) word.resize(equals);
    if (std::find(names.begin(), names.end(), word) != names.end()) continue;
    const std::string closest = Closest(word, names);
    return "'" + word + "' is not an option" +
           (closest.empty() ? "" : "; did you mean '" + closest + "'?");
  }
  return {};
}

int UsageFailure(const std::string& message) {
  Note(message);
  std::cerr << kTryHelp << "\n";
  return kUsageError;
}

int Run(int argc, char** argv) {
  CLI::App app{"facepadctl: drive a facepad service through the TerminalFace_ZR adaptor"};
  app.name("facepadctl");
  app.require_subcommand(0, 1);
  app.fallthrough();  // global options may also follow the command
  app.set_version_flag("--version", "facepadctl " ZR_VERSION);
  Globals globals;
  AddGlobalOptions(app, globals);
  CLI::App* help = app.add_subcommand("help", "describe facepadctl or one of its commands");
  std::string helpTopic;
  help->add_option("command", helpTopic, "the command to describe");

  const std::vector<Subcommand> subcommands = AddSubcommands(app);
  std::vector<std::string> names{"help"};
  for (const Subcommand& subcommand : subcommands) {
    names.push_back(subcommand.app->get_name());
    subcommand.app->footer(
        "Global options, before or after the command: --host HOST, --port PORT, --json, -v, "
        "--timeout SECONDS (see facepadctl --help).");
  }

  const std::string word = CommandWord(argc, argv);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    const bool isCommand = std::find(names.begin(), names.end(), word) != names.end();
    const std::string optionHint =
        OptionHint(argc, argv, app, isCommand ? app.get_subcommand(word) : nullptr);
    if (!optionHint.empty()) return UsageFailure(optionHint);
    if (word.empty() || isCommand) return UsageFailure(error.what());
    const std::string closest = Closest(word, names);
    return UsageFailure("'" + word + "' is not a command" +
                        (closest.empty() ? "" : "; did you mean '" + closest + "'?"));
  }

  if (help->parsed()) {
    const auto topic =
        std::find_if(subcommands.begin(), subcommands.end(),
                     [&](const Subcommand& s) { return s.app->get_name() == helpTopic; });
    if (!helpTopic.empty() && topic == subcommands.end()) {
      return UsageFailure("'" + helpTopic + "' is not a command");
    }
    std::cout << (topic == subcommands.end() ? app.get_formatter()->make_help(
                                                   &app, app.get_name(), CLI::AppFormatMode::Normal)
                                             : topic->app->help(app.get_name()));
    return kSucceeded;
  }
  for (const Subcommand& subcommand : subcommands) {
    if (!subcommand.app->parsed()) continue;
    SetJsonOutput(globals.json);
    return subcommand.run(globals);
  }
  return UsageFailure("no command given");
}

}  // namespace
}  // namespace Facepadctl

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed stdout is noticed where it is written
  try {
    return Facepadctl::Run(argc, argv);
  } catch (const Facepadctl::UsageError& error) {
    return Facepadctl::UsageFailure(error.what());
  } catch (const Facepadctl::InputError& error) {
    Facepadctl::Note(error.what());
    return Facepadctl::kFailed;
  } catch (const std::exception& error) {
    Facepadctl::Note(error.what());
    return Facepadctl::kFailed;
  }
}
