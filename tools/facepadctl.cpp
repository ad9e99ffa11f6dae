// facepadctl: talks to a facepad service through the TerminalFace_ZR adaptor,
// one operation per subcommand, and enrols persons in bulk from CSV files.
// docs/facepadctl.md is the operator's reference.
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

// The option a CLI11 message begins with ("--sn: ..." or "--sn is ...").
std::string LeadingOption(const std::string& message) {
  if (message.compare(0, 1, "-") != 0) return {};
  return message.substr(0, message.find_first_of(": "));
}

// A CLI11 parse error in plain words, naming the option; CLI11's own words
// when it is none of the common ones.
std::string InPlainWords(const CLI::ParseError& error, const CLI::App* command) {
  std::string message = error.what();
  const std::string option = LeadingOption(message);
  const std::string what = command != nullptr ? command->get_name() : "facepadctl";
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && !option.empty()) {
    const CLI::Option* found = command != nullptr ? command->get_option_no_throw(option) : nullptr;
    return what + " needs " + option +
           (found != nullptr ? " (" + found->get_description() + ")" : std::string());
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && !option.empty()) {
    if (message.find("missing") != std::string::npos) return option + " needs a value after it";
    if (message.find("At Most") != std::string::npos) {
      return option + " is given more than once; give it once";
    }
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    const std::string words = message.substr(message.find(": ") + 2);
    return "'" + words + "' was not expected after " + what +
           " (one command at a time; a value that holds spaces needs quotes)";
  }
  if (dynamic_cast<const CLI::ExcludesError*>(&error) != nullptr) {
    const std::size_t excludes = message.find(" excludes ");
    if (excludes != std::string::npos) {
      return message.substr(0, excludes) + " and " + message.substr(excludes + 10) +
             " cannot be given together";
    }
  }
  if (dynamic_cast<const CLI::RequiresError*>(&error) != nullptr) {
    const std::size_t needs = message.find(" requires ");
    if (needs != std::string::npos) {
      return message.substr(0, needs) + " needs " + message.substr(needs + 10) + " as well";
    }
  }
  if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
    const std::size_t equals = message.find(" = ");
    const std::size_t colon = message.find(": ");
    if (equals != std::string::npos && colon != std::string::npos && colon < equals) {
      return message.substr(colon + 2, equals - colon - 2) + ": '" + message.substr(equals + 3) +
             "' is not a value it takes";
    }
  }
  return message;
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
    return UsageFailure(optionHint.empty() ? InPlainWords(error, command) : optionHint);
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

}  // namespace
}  // namespace Facepadctl

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed stdout is noticed where it is written
  try {
    return Facepadctl::Run(argc, argv);
  } catch (const Facepadctl::UsageError& error) {
    return Facepadctl::UsageFailure(error.what());
  } catch (const Facepadctl::LedgerUnusable& error) {
    Facepadctl::Note(error.what());  // running again cannot help: a person must act
    return Facepadctl::kNeedsPerson;
  } catch (const Facepadctl::InputError& error) {
    Facepadctl::Note(error.what());
    return Facepadctl::kFailed;
  } catch (const std::exception& error) {
    Facepadctl::Note(error.what());
    return Facepadctl::kFailed;
  }
}
