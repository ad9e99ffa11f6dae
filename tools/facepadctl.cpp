// facepadctl: talks to a facepad service through the TerminalFace_ZR adaptor,
// one operation per subcommand, and enrols persons in bulk from CSV files.
// docs/facepadctl.md is the operator's reference.
#include <fcntl.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cctype>
#include <csignal>
#include <iostream>

#include "Adaptor.h"
#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "Output.h"
#include "PersonInput.h"
#include "sync/Ledger.h"

namespace Facepadctl {
namespace {

constexpr const char* kTryHelp = "run 'facepadctl --help' or 'facepadctl help COMMAND' for usage";

// Global options that take a value, so the command word can be found before
// the command line is parsed.
bool TakesValue(const std::string& option) {
  return option == "--host" || option == "--port" || option == "--timeout";
}

// Where the first word is that is neither an option nor an option's value;
// argc when there is none.
int CommandAt(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.empty() || word[0] != '-') return i;
    if (TakesValue(word)) ++i;
  }
  return argc;
}

std::string NotACommand(const std::string& word, const std::vector<std::string>& names) {
  const std::string closest = Closest(word, names);
  return "'" + word + "' is not a command" +
         (closest.empty() ? "" : "; did you mean '" + closest + "'?");
}

void AddGlobalOptions(CLI::App& app, Globals& globals) {
  app.add_option("--host", globals.host, "address of the facepad service")
      ->transform(HostName())
      ->capture_default_str();
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

// What is wrong with the first option among argv[1] to argv[end - 1] that no
// one knows, with a "did you mean"; empty when there is none. A single dash
// and a letter (-x, -sn) is taken for an option too.
std::string OptionHint(int end, char** argv, const CLI::App& app, const CLI::App* command) {
  std::vector<std::string> names = OptionNames(app, command);
  names.emplace_back("-v");
  for (int i = 1; i < end; ++i) {
    std::string word = argv[i];
    if (word == "--") break;  // what follows is no option
    if (word.size() < 2 || word[0] != '-' || std::isdigit(static_cast<unsigned char>(word[1]))) {
      continue;
    }
    if (const std::size_t equals = word.find('='); equals != std::string::npos) word.resize(equals);
    if (std::find(names.begin(), names.end(), word) != names.end()) continue;
    // One letter after one dash is too little to guess from.
    const bool oneDash = word[1] != '-';
    const std::string closest =
        oneDash && word.size() == 2 ? "" : Closest(oneDash ? "-" + word : word, names);
    return "'" + word + "' is not an option" +
           (closest.empty() ? "" : "; did you mean '" + closest + "'?");
  }
  return {};
}

// The options of the tool, then those of `command`, in the order CLI11
// processes them.
std::vector<const CLI::Option*> Options(const CLI::App& app, const CLI::App* command) {
  std::vector<const CLI::Option*> options = app.get_options();
  if (command != nullptr) {
    const std::vector<const CLI::Option*> own = command->get_options();
    options.insert(options.end(), own.begin(), own.end());
  }
  return options;
}

// The option `word` names ("--sn", "--sn=T1"), or null.
const CLI::Option* Named(const std::vector<const CLI::Option*>& options, std::string word) {
  if (word.compare(0, 2, "--") != 0) return nullptr;
  word = word.substr(2, word.find('=') - 2);
  for (const CLI::Option* option : options) {
    const std::vector<std::string>& names = option->get_lnames();
    if (std::find(names.begin(), names.end(), word) != names.end()) return option;
  }
  return nullptr;
}

// The option CLI11 was checking when it failed: it runs the options'
// conversions in order, so it is the first one given whose conversion has
// not run. (Every option's value is checked by a validator of ours, which
// says what is wrong in its own words.)
const CLI::Option* Unconverted(const std::vector<const CLI::Option*>& options) {
  for (const CLI::Option* option : options) {
    if (option->count() > 0 && !option->get_callback_run()) return option;
  }
  return nullptr;
}

// An option that takes a value given as the last word, followed by another
// option, or with nothing after its "=".
const CLI::Option* WithoutValue(const std::vector<const CLI::Option*>& options, int argc,
                                char** argv) {
  for (int i = 1; i < argc; ++i) {
    const CLI::Option* option = Named(options, argv[i]);
    if (option == nullptr || option->get_items_expected_min() == 0) continue;
    const std::string word = argv[i];
    const std::size_t equals = word.find('=');
    if (equals != std::string::npos) {
      if (equals + 1 == word.size()) return option;
    } else if (i + 1 == argc || Named(options, argv[i + 1]) != nullptr) {
      return option;
    }
  }
  return nullptr;
}

// A CLI11 parse error in plain words, naming the option, which is found from
// what CLI11 parsed; CLI11's own words when it is none of the common ones.
std::string InPlainWords(const CLI::ParseError& error, const CLI::App& app, const CLI::App* command,
                         int argc, char** argv) {
  const std::string what = command != nullptr ? command->get_name() : "facepadctl";
  const std::vector<const CLI::Option*> options = Options(app, command);
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    for (const CLI::Option* option : options) {
      if (option->get_required() && option->count() == 0) {
        return what + " needs " + option->get_name() + " (" + option->get_description() + ")";
      }
    }
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    if (const CLI::Option* option = WithoutValue(options, argc, argv)) {
      return option->get_name() + " needs a value after it";
    }
    const CLI::Option* option = Unconverted(options);
    if (option != nullptr && option->count() > 1) {
      return option->get_name() + " is given more than once; give it once";
    }
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    std::vector<std::string> extras = app.remaining();
    if (command != nullptr && extras.empty()) extras = command->remaining();
    const std::string words = CLI::detail::join(extras, " ");
    return "'" + words + "' was not expected after " + what +
           " (one command at a time; a value that holds spaces needs quotes)";
  }
  return error.what();
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
    const std::string own = subcommand.app->get_footer();
    subcommand.app->footer(
        (own.empty() ? "" : own + "\n\n") +
        "Global options, before or after the command: --host HOST, --port PORT, --json, -v, "
        "--timeout SECONDS (see facepadctl --help).");
  }

  const int commandAt = CommandAt(argc, argv);
  const std::string word = commandAt < argc ? argv[commandAt] : "";
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    const bool isCommand = std::find(names.begin(), names.end(), word) != names.end();
    if (!word.empty() && !isCommand) {
      // An unknown option before the word may have been meant to take it as
      // its value; after it, the options are the mistyped command's.
      const std::string optionHint = OptionHint(commandAt, argv, app, nullptr);
      return UsageFailure(optionHint.empty() ? NotACommand(word, names) : optionHint);
    }
    const CLI::App* command = isCommand ? app.get_subcommand(word) : nullptr;
    const std::string optionHint = OptionHint(argc, argv, app, command);
    return UsageFailure(optionHint.empty() ? InPlainWords(error, app, command, argc, argv)
                                           : optionHint);
  }

  if (help->parsed()) {
    if (helpTopic.empty()) {
      std::cout << app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
      return kSucceeded;
    }
    if (std::find(names.begin(), names.end(), helpTopic) == names.end()) {
      return UsageFailure(NotACommand(helpTopic, names));
    }
    std::cout << app.get_subcommand(helpTopic)->help(app.get_name());
    return kSucceeded;
  }
  for (const Subcommand& subcommand : subcommands) {
    if (!subcommand.app->parsed()) continue;
    SetJsonOutput(globals.json);
    SetLibraryLogging(globals.verbose);  // before any adaptor's threads start
    return subcommand.run(globals);
  }
  return UsageFailure("no command given");
}

// A standard stream the run was started without is opened on /dev/null, so
// that no file the run opens (the ledger, a connection) takes its number
// and receives its lines. Stdout is opened for reading only: writing to it
// fails, and is told, as writing to a closed one would be.
void OpenClosedStandardStreams() {
  const int modes[] = {O_RDONLY, O_RDONLY, O_WRONLY};
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", modes[fd]);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

int RunReportingErrors(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& error) {
    return UsageFailure(error.what());
  } catch (const LedgerUnusable& error) {
    Note(error.what());  // running again cannot help: a person must act
    return kNeedsPerson;
  } catch (const InputError& error) {
    Note(error.what());
    return kFailed;
  } catch (const std::exception& error) {
    Note(error.what());
    return kFailed;
  }
}

}  // namespace
}  // namespace Facepadctl

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed stdout is noticed where it is written
  Facepadctl::OpenClosedStandardStreams();
  const int exitCode = Facepadctl::RunReportingErrors(argc, argv);
  // The lines a run prints are part of what it reports: lost, it did not
  // wholly succeed.
  return exitCode == Facepadctl::kSucceeded && Facepadctl::StdoutLost() ? Facepadctl::kFailed
                                                                        : exitCode;
}
