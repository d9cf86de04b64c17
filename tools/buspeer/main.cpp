// buspeer: a command-line peer of the suite's message bus.
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/command_line.h"
#include "platform/unicode.h"
#include "tools/buspeer/arguments.h"
#include "tools/buspeer/commands.h"

namespace {

constexpr char kFooter[] =
    R"(<client> is a client id (110016) or name in any case (TwGameService). --global and --local choose
the scope; by default a client lives where its elevation puts it, and a target is looked up in both.
JSON may be given as text, as @FILE for a file's contents, or as - for stdin; it must be UTF-8.
Exit codes: 0 done; 1 the bus refused, nothing arrived in time, or fewer packets than --count; 2 usage.)";

// The option values as given; checked and converted once CLI11 has matched them to a command.
struct Values {
  bool verbose = false;
  bool global = false;
  bool local = false;
  bool json = false;
  std::string as, from, to, answer, data;
  std::int32_t msg_id = 0;
  std::int32_t query_id = 0;
  std::optional<std::uint64_t> count;
  std::uint64_t timeout_ms = 0;  // listen, watch: no limit by default
  std::uint64_t query_timeout_ms = buspeer::kDefaultQueryTimeoutMs;
};

void AddScope(CLI::App& command, Values& values) {
  auto* global = command.add_flag("--global", values.global, "use the global scope (elevated clients)");
  command.add_flag("--local", values.local, "use the local scope (the login session's clients)")->excludes(global);
}

void AddCount(CLI::App& command, Values& values, const char* what) {
  command.add_option("--count", values.count, std::string("stop after N ") + what)->type_name("N");
  command.add_option("--timeout", values.timeout_ms, "stop after MS milliseconds (default: no limit)")->type_name("MS");
}

buspeer::Scope ScopeOf(const Values& values) {
  if (values.global || values.local) return {values.global};
  return {};
}

int Run(const Values& values, CLI::App* listen, CLI::App* watch, CLI::App* send, CLI::App* query, CLI::App* clients) {
  buspeer::CollectDiagnostics(values.verbose);
  if (*listen) {
    buspeer::ListenOptions options;
    options.client = buspeer::ParseClient(values.as);
    options.scope = ScopeOf(values);
    options.count = values.count;
    options.timeout_ms = values.timeout_ms;
    if (listen->count("--answer") > 0) options.answer = buspeer::ParseJsonArgument("--answer", values.answer, stdin);
    return buspeer::Listen(options);
  }
  if (*watch) {
    buspeer::WatchOptions options;
    options.client = buspeer::ParseClient(values.as);
    options.scope = ScopeOf(values);
    options.count = values.count;
    options.timeout_ms = values.timeout_ms;
    return buspeer::Watch(options);
  }
  if (*send || *query) {
    const CLI::App& command = *send ? *send : *query;
    buspeer::SendOptions options;
    options.from = buspeer::ParseClient(values.from);
    options.to = buspeer::ParseClient(values.to);
    options.msg_id = values.msg_id;
    if (command.count("--data") > 0) options.data = buspeer::ParseJsonArgument("--data", values.data, stdin);
    options.scope = ScopeOf(values);
    if (*query) {
      options.query_id = values.query_id;
      options.timeout_ms = values.query_timeout_ms;
    }
    return buspeer::Send(options);
  }
  if (*clients) return buspeer::Clients(values.json);
  return buspeer::Stats(values.json);
}

}  // namespace

int main() {
  Values values;
  CLI::App app("buspeer: a peer of the suite's message bus, for the people who build and debug its programs",
               "buspeer");
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("buspeer ") + SPINDREL_VERSION);
  app.add_flag("-v,--verbose", values.verbose, "print the bus's diagnostics on stderr");
  app.require_subcommand(1);
  app.fallthrough();  // -v may come after the command too

  CLI::App* listen =
      app.add_subcommand("listen", "join the bus as a client and print each packet it receives as one line of JSON");
  listen->add_option("--as", values.as, "the client to be")->type_name("<client>")->required();
  AddCount(*listen, values, "packets");
  listen->add_option("--answer", values.answer, "answer every query with this JSON value")->type_name("JSON");
  AddScope(*listen, values);

  CLI::App* watch = app.add_subcommand(
      "watch", "receive alongside a client on its channel, without taking its identity, and print what it is sent");
  watch->add_option("client", values.as, "the client whose channel to watch")->type_name("<client>")->required();
  AddCount(*watch, values, "messages");
  AddScope(*watch, values);

  CLI::App* send = app.add_subcommand("send", "send one packet");
  CLI::App* query = app.add_subcommand("query", "send a query and print its answer as one line of JSON");
  for (CLI::App* command : {send, query}) {
    command->add_option("--from", values.from, "the sending client")->type_name("<client>")->required();
    command->add_option("--to", values.to, "the target client")->type_name("<client>")->required();
    command->add_option("--data", values.data, "the packet's body (default: null)")->type_name("JSON|@FILE|-");
    AddScope(*command, values);
  }
  send->add_option("--msg", values.msg_id, "the message number")->type_name("ID")->required();
  query->add_option("--msg", values.msg_id, "the message number (default: 0)")->type_name("ID");
  query->add_option("--query", values.query_id, "the query id")->type_name("ID")->required();
  query
      ->add_option(
          "--timeout", values.query_timeout_ms,
          "wait MS milliseconds for the answer (default: " + std::to_string(buspeer::kDefaultQueryTimeoutMs) + ")")
      ->type_name("MS");

  CLI::App* clients =
      app.add_subcommand("clients", "list the clients that are on the bus, their scope, and (on Linux) their process");
  CLI::App* stats = app.add_subcommand("stats", "show the send and receive statistics kept in the registry");
  for (CLI::App* command : {clients, stats}) command->add_flag("--json", values.json, "print one JSON document");

  // Arguments come from the system's wide command line, so that no code page mangles them on Windows.
  std::vector<std::string> args;
  for (const auto& argument : platform::CommandLineArguments()) args.push_back(platform::Utf16ToUtf8(argument));
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::Success& done) {  // --help, --version
    return app.exit(done);
  } catch (const CLI::ParseError& error) {
    const CLI::App* command = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    std::fprintf(stderr, "buspeer: %s\ntry `buspeer %s--help`\n", error.what(),
                 command ? (command->get_name() + " ").c_str() : "");
    return buspeer::kUsage;
  }
  try {
    return Run(values, listen, watch, send, query, clients);
  } catch (const buspeer::UsageError& error) {
    std::fprintf(stderr, "buspeer: %s\n", error.what());
    return buspeer::kUsage;
  }
}
