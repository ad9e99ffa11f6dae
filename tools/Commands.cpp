// The subcommands that make one request of the service.
#include "Commands.h"

#include <memory>

#include "Adaptor.h"
#include "Arguments.h"
#include "ExitCodes.h"
#include "Output.h"
#include "PersonInput.h"
#include "Signals.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

// Points at -v, unless it was given or the log has nothing to add.
std::string VerboseHint(const Globals& globals, const FailureReason& reason) {
  const bool logged = reason.failure != TerminalFace_ZR::Failure::NotConnected;
  return globals.verbose || !logged ? "" : " (run with -v to see the library's log)";
}

// Reports the operation that just returned false on this thread.
int ReportFailure(const Globals& globals, Outcome outcome) {
  const FailureReason reason = TerminalFace_ZR::LastFailure();
  outcome.status = FailureClass(reason);
  outcome.detail = FailureText(reason);
  // A request that changes something may have reached the service, which
  // then carries it out.
  const bool query = outcome.command == "available" || outcome.command == "status" ||
                     outcome.command == "activation-status";
  if (!query && (reason.failure == TerminalFace_ZR::Failure::TimedOut ||
                 reason.failure == TerminalFace_ZR::Failure::NoAnswer)) {
    outcome.detail += "; the service may still carry it out";
  }
  Emit(outcome, outcome.detail + VerboseHint(globals, reason));
  return kFailed;
}

// Waits for the result of the request `outcome` names, and reports it.
int AwaitResult(Adaptor& adaptor, Outcome outcome, double waitSeconds) {
  InterruptOnSignals();
  const auto deadline = Clock::now() + Milliseconds(waitSeconds);
  while (Clock::now() < deadline && !g_interrupted) {
    for (const Result& result : adaptor.TakeResults(std::chrono::milliseconds(100))) {
      if (result.sn != outcome.sn || result.id != outcome.id) continue;
      outcome.result = result.code;
      outcome.status = result.code == "0" ? Status::Done : Status::Result;
      Emit(outcome);
      return result.code == "0" ? kSucceeded : kFailed;
    }
  }
  if (g_interrupted) {
    outcome.status = Status::Interrupted;
    outcome.detail = "interrupted while waiting for the result";
    Emit(outcome);
    return InterruptedExitCode();
  }
  outcome.status = Status::NoResult;
  outcome.detail = NoResultText(waitSeconds, adaptor.PollsFailing());
  Emit(outcome);
  return kFailed;
}

// The options of every request that carries an id.
struct RequestOptions {
  std::string sn;
  std::string id;
  double waitSeconds = 0;
};

// A subcommand that sends one request with an id and, with --wait, awaits
// its result. `declare` adds the options beyond --sn, --id and --wait;
// `send` makes the request.
template <typename Options>
Subcommand RequestCommand(CLI::App& parent, const char* name, const char* description,
                          const std::function<void(CLI::App*, Options&)>& declare,
                          const std::function<bool(Adaptor&, Options&)>& send) {
  auto options = std::make_shared<Options>();
  CLI::App* command = parent.add_subcommand(name, description);
  AddSerialNumber(command, options->sn);
  command->add_option("--id", options->id, "request id (generated when not given)");
  command->add_option("--wait", options->waitSeconds, "wait up to SECONDS for the result")
      ->check(Seconds(true));
  declare(command, *options);
  return {command, [options, name, send](const Globals& globals) {
            if (options->id.empty()) options->id = NewRequestId("req");
            Adaptor adaptor(globals, options->waitSeconds > 0);
            Outcome outcome{name, options->sn, options->id};
            if (!send(adaptor, *options)) return ReportFailure(globals, outcome);
            outcome.status = Status::Accepted;
            Emit(outcome);
            return options->waitSeconds > 0 ? AwaitResult(adaptor, outcome, options->waitSeconds)
                                            : kSucceeded;
          }};
}

// Runs a command without a request id: `call` makes the request, `okText`
// says what success means, and `failedWithin`, when given, says what failed
// within a call that succeeded (empty when nothing did).
int RunPlain(const Globals& globals, const std::string& command, const std::string& sn,
             const char* okText, const std::function<bool(Adaptor&)>& call,
             const std::function<std::string(Adaptor&)>& failedWithin = nullptr) {
  Adaptor adaptor(globals, false);
  Outcome outcome{command, sn};
  if (!call(adaptor)) return ReportFailure(globals, outcome);
  outcome.detail = failedWithin ? failedWithin(adaptor) : std::string();
  if (!outcome.detail.empty()) {
    outcome.status = Status::Failed;
    Emit(outcome);
    return kFailed;
  }
  Emit(outcome, okText);
  return kSucceeded;
}

struct PersonOptions : RequestOptions {
  std::vector<std::string> fields;
  std::string personFile;
  std::string photo;
  std::uint64_t maxPhoto = kDefaultMaxPhoto;
};

// --photo, and --max-photo, the largest it may be, as sync has it.
CLI::Option* DeclarePhoto(CLI::App* command, std::string& photo, std::uint64_t& maxPhoto) {
  AddMaxPhoto(command, maxPhoto);
  return command->add_option("--photo", photo, "a JPEG or PNG face picture");
}

void DeclarePerson(CLI::App* command, PersonOptions& options) {
  command->add_option("--field", options.fields, "a person field as key=value (repeatable)")
      ->check(PersonField());
  command->add_option("--person", options.personFile, "a JSON file with the person's fields");
}

ParamMap ReadPerson(const PersonOptions& options) {
  std::vector<std::string> keys;
  for (const std::string& field : options.fields) {
    const std::string key = field.substr(0, field.find('='));
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
      throw UsageError("--field " + key + " is given twice; give each field once");
    }
    keys.push_back(key);
  }
  Person person = options.personFile.empty() ? Person{} : ReadPersonFile(options.personFile);
  AddFields(person, options.fields);
  CheckPerson(person, options.personFile.empty() ? "the person" : options.personFile);
  return person;
}

Subcommand AddAvailable(CLI::App& parent) {
  CLI::App* command = parent.add_subcommand("available", "ask whether the service answers");
  return {command, [](const Globals& globals) {
            return RunPlain(globals, "available", "", "available", [](Adaptor& adaptor) {
              ParamMap none;
              return adaptor.GetAvailableFace(none);
            });
          }};
}

Subcommand AddBind(CLI::App& parent) {
  struct Options {
    std::string sn, ip, devicePort, username, password;
    int channel = 0;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command = parent.add_subcommand("bind", "bind a terminal (activating it first)");
  AddSerialNumber(command, options->sn);
  command->add_option("--channel", options->channel, "channel number")
      ->check(Whole(0, 65535))
      ->capture_default_str();
  command->add_option("--ip", options->ip, "the terminal's address")->required()->check(Present());
  command->add_option("--device-port", options->devicePort, "the terminal's port")
      ->check(Whole(1, 65535));
  command->add_option("--username", options->username, "account on the terminal");
  command->add_option("--password", options->password, "its password");
  return {command, [options](const Globals& globals) {
            const Options& o = *options;
            return RunPlain(
                globals, "bind", o.sn, "bound",
                [&o](Adaptor& adaptor) {
                  return adaptor.BindTerminalFace(o.sn, o.channel, o.ip, o.devicePort, o.username,
                                                  o.password);
                },
                // The library binds whatever became of the activation: told here.
                [](Adaptor& adaptor) {
                  const std::string activation = adaptor.ActivationFailure();
                  return activation.empty()
                             ? activation
                             : "bound, but the activation before it failed: " + activation;
                });
          }};
}

// unbind and status: a serial number and nothing else.
Subcommand AddTerminalQuery(CLI::App& parent, const char* name, const char* description,
                            const char* okText, bool (TerminalFace_ZR::*call)(const std::string&)) {
  auto sn = std::make_shared<std::string>();
  CLI::App* command = parent.add_subcommand(name, description);
  AddSerialNumber(command, *sn);
  return {command, [=](const Globals& globals) {
            return RunPlain(globals, name, *sn, okText,
                            [&](Adaptor& adaptor) { return (adaptor.*call)(*sn); });
          }};
}

Subcommand AddSetListenPort(CLI::App& parent) {
  struct Options {
    std::string port, reset;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command =
      parent.add_subcommand("set-listen-port", "change the service's own listening port");
  command->add_option("--listen-port", options->port, "the new port")
      ->required()
      ->check(Whole(1, 65535));
  command->add_option("--reset", options->reset, "the reset value, as text");
  return {command, [options](const Globals& globals) {
            return RunPlain(globals, "set-listen-port", "", "accepted", [&](Adaptor& adaptor) {
              return adaptor.SetListenPortFace(options->port, options->reset);
            });
          }};
}

Subcommand AddAddUser(CLI::App& parent) {
  return RequestCommand<PersonOptions>(
      parent, "add-user", "add a person, optionally with a photo",
      [](CLI::App* command, PersonOptions& options) {
        DeclarePerson(command, options);
        DeclarePhoto(command, options.photo, options.maxPhoto);
      },
      [](Adaptor& adaptor, PersonOptions& options) {
        ParamMap person = ReadPerson(options);
        if (!options.photo.empty()) {
          person["facepic"] = ReadPhoto(options.photo, options.maxPhoto).base64;
        }
        return adaptor.AddUser(options.id, options.sn, person);
      });
}

Subcommand AddSetUser(CLI::App& parent) {
  Subcommand setUser =
      RequestCommand<PersonOptions>(parent, "set-user", "update a person", DeclarePerson,
                                    [](Adaptor& adaptor, PersonOptions& options) {
                                      ParamMap person = ReadPerson(options);
                                      return adaptor.SetUser(options.id, options.sn, person);
                                    });
  setUser.app->footer(
      "The service replaces the whole record: fields not given are sent empty, so give every "
      "field the person keeps.");
  return setUser;
}

struct CertnumOptions : RequestOptions {
  std::string certnum;
  std::string photo;
  std::uint64_t maxPhoto = kDefaultMaxPhoto;
};

void DeclareCertnum(CLI::App* command, CertnumOptions& options) {
  command->add_option("--certnum", options.certnum, "the person's certnum")
      ->required()
      ->check(Present());
}

Subcommand AddDelUser(CLI::App& parent) {
  return RequestCommand<CertnumOptions>(parent, "del-user", "delete a person", DeclareCertnum,
                                        [](Adaptor& adaptor, CertnumOptions& options) {
                                          ParamMap person{{"certnum", options.certnum}};
                                          return adaptor.DelUser(options.id, options.sn, person);
                                        });
}

Subcommand AddSetPhoto(CLI::App& parent) {
  return RequestCommand<CertnumOptions>(
      parent, "set-photo", "set a person's face photo",
      [](CLI::App* command, CertnumOptions& options) {
        DeclareCertnum(command, options);
        DeclarePhoto(command, options.photo, options.maxPhoto)->required();
      },
      [](Adaptor& adaptor, CertnumOptions& options) {
        const Photo photo = ReadPhoto(options.photo, options.maxPhoto);
        ParamMap fields{{"certnum", options.certnum},
                        {"size", std::to_string(photo.bytes)},
                        {"content", photo.base64}};
        return adaptor.SetBiophoto(options.id, options.sn, fields);
      });
}

Subcommand AddActivate(CLI::App& parent) {
  struct Options : RequestOptions {
    std::string username, password, level = "Administrator";
  };
  return RequestCommand<Options>(
      parent, "activate", "activate a terminal with an account",
      [](CLI::App* command, Options& options) {
        command->add_option("--username", options.username, "account name");
        command->add_option("--password", options.password, "its password");
        command->add_option("--level", options.level, "user level")->capture_default_str();
      },
      [](Adaptor& adaptor, Options& options) {
        return adaptor.Active(options.id, options.sn, options.username, options.password,
                              options.level);
      });
}

Subcommand AddActivationStatus(CLI::App& parent) {
  return RequestCommand<RequestOptions>(
      parent, "activation-status", "ask for a terminal's activation status",
      [](CLI::App* /*command*/, RequestOptions& /*options*/) {},
      [](Adaptor& adaptor, RequestOptions& options) {
        return adaptor.ActivationStatus(options.id, options.sn);
      });
}

Subcommand AddControl(CLI::App& parent) {
  return RequestCommand<RequestOptions>(
      parent, "control", "send a terminal the device-control command",
      [](CLI::App* /*command*/, RequestOptions& /*options*/) {},
      [](Adaptor& adaptor, RequestOptions& options) {
        return adaptor.ControlDeviceFace(options.id, options.sn, "", "", "");
      });
}

}  // namespace

std::vector<Subcommand> AddSubcommands(CLI::App& parent) {
  return {
      AddAvailable(parent),
      AddBind(parent),
      AddTerminalQuery(parent, "unbind", "release a terminal", "released",
                       &TerminalFace_ZR::UnBindTerminalFace),
      AddTerminalQuery(parent, "status", "ask whether a terminal is connected", "connected",
                       &TerminalFace_ZR::GetTerminalStatusFace),
      AddActivate(parent),
      AddActivationStatus(parent),
      AddAddUser(parent),
      AddSetUser(parent),
      AddSetPhoto(parent),
      AddDelUser(parent),
      AddControl(parent),
      AddSetListenPort(parent),
      AddWatch(parent),
      AddCheck(parent),
      AddSync(parent),
      AddImport(parent),
      AddLedger(parent),
  };
}

}  // namespace Facepadctl
