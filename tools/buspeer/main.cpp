// buspeer: a command-line peer of the suite's message bus.
#include <charconv>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/unicode.h"
#include "spindrel/bus/client.h"
#include "tools/buspeer/commands.h"

namespace {

constexpr char kUsage[] = R"(usage:
  buspeer listen --as <client> [--count N] [--timeout MS] [--answer JSON] [--global|--local]
      join the bus as that client and print each packet it receives as one line of JSON;
      with --answer, answer every query with that JSON value
  buspeer watch <client> [--count N] [--timeout MS] [--global|--local]
      receive alongside a client on its channel, without taking its identity, and print what it is sent
  buspeer send --from <client> --to <client> --msg <id> [--data JSON] [--global|--local]
      send one packet
  buspeer query --from <client> --to <client> --query <id> [--msg <id>] [--data JSON] [--timeout MS]
                [--global|--local]
      send a query and print the answer
  buspeer clients
      list the clients that are on the bus, and in which scope
  buspeer stats
      show the send and receive statistics kept in the registry

<client> is a client id (110016) or name (TwGameService). --global and --local choose the scope; by
default a client lives where its elevation puts it, and a target is looked up in both.
exit codes: 0 done; 1 the bus refused, nothing arrived in time, or fewer packets than --count; 2 usage
)";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "--name value" options and plain words, checked against what a command accepts.
struct Arguments {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> words;
};

Arguments Parse(const std::vector<std::string>& args, const std::set<std::string>& value_options,
                const std::set<std::string>& flag_options) {
  Arguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!arg.starts_with("--")) {
      parsed.words.push_back(arg);
    } else if (flag_options.contains(arg)) {
      parsed.flags.insert(arg);
    } else if (value_options.contains(arg)) {
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      parsed.values[arg] = args[++i];
    } else {
      throw UsageError("unknown option " + arg);
    }
  }
  return parsed;
}

template <typename T>
T Number(const std::string& text, const std::string& what) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) throw UsageError(what + " is not a number: " + text);
  return value;
}

std::int32_t Client(const std::string& text) {
  if (const auto id = ipc::FindClientId(text)) return *id;
  const auto id = Number<std::int32_t>(text, "client");
  if (ipc::GetClientName(id) == ipc::kUnknownClientName) throw UsageError("no such client: " + text);
  return id;
}

const std::string& Required(const Arguments& arguments, const std::string& option) {
  const auto found = arguments.values.find(option);
  if (found == arguments.values.end()) throw UsageError("missing " + option);
  return found->second;
}

nlohmann::json Json(const std::string& text, const std::string& what) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception&) {
    throw UsageError(what + " is not JSON: " + text);
  }
}

buspeer::Scope ScopeOf(const Arguments& arguments) {
  const bool global = arguments.flags.contains("--global");
  const bool local = arguments.flags.contains("--local");
  if (global && local) throw UsageError("--global and --local exclude each other");
  if (global || local) return {global};
  return {};
}

std::optional<std::uint64_t> OptionalNumber(const Arguments& arguments, const std::string& option) {
  const auto found = arguments.values.find(option);
  if (found == arguments.values.end()) return std::nullopt;
  return Number<std::uint64_t>(found->second, option);
}

void NoWords(const Arguments& arguments) {
  if (!arguments.words.empty()) throw UsageError("unexpected argument " + arguments.words.front());
}

int Run(const std::string& command, const std::vector<std::string>& args) {
  const std::set<std::string> scope_flags{"--global", "--local"};
  if (command == "listen") {
    const Arguments a = Parse(args, {"--as", "--count", "--timeout", "--answer"}, scope_flags);
    NoWords(a);
    buspeer::ListenOptions options;
    options.client = Client(Required(a, "--as"));
    options.scope = ScopeOf(a);
    options.count = OptionalNumber(a, "--count");
    options.timeout_ms = OptionalNumber(a, "--timeout").value_or(0);
    if (a.values.contains("--answer")) options.answer = Json(a.values.at("--answer"), "--answer");
    return buspeer::Listen(options);
  }
  if (command == "watch") {
    const Arguments a = Parse(args, {"--count", "--timeout"}, scope_flags);
    if (a.words.size() != 1) throw UsageError("watch takes one client");
    buspeer::WatchOptions options;
    options.client = Client(a.words.front());
    options.scope = ScopeOf(a);
    options.count = OptionalNumber(a, "--count");
    options.timeout_ms = OptionalNumber(a, "--timeout").value_or(0);
    return buspeer::Watch(options);
  }
  if (command == "send" || command == "query") {
    const bool query = command == "query";
    std::set<std::string> values{"--from", "--to", "--msg", "--data"};
    if (query) values.insert({"--query", "--timeout"});
    const Arguments a = Parse(args, values, scope_flags);
    NoWords(a);
    buspeer::SendOptions options;
    options.from = Client(Required(a, "--from"));
    options.to = Client(Required(a, "--to"));
    options.msg_id = query && !a.values.contains("--msg") ? 0 : Number<std::int32_t>(Required(a, "--msg"), "--msg");
    if (a.values.contains("--data")) options.data = Json(a.values.at("--data"), "--data");
    options.scope = ScopeOf(a);
    if (query) {
      options.query_id = Number<std::int32_t>(Required(a, "--query"), "--query");
      options.timeout_ms = OptionalNumber(a, "--timeout").value_or(options.timeout_ms);
    }
    return buspeer::Send(options);
  }
  if (command == "clients" || command == "stats") {
    NoWords(Parse(args, {}, {}));
    return command == "clients" ? buspeer::Clients() : buspeer::Stats();
  }
  throw UsageError("unknown command " + command);
}

}  // namespace

int main() {
  std::vector<std::string> args;
  for (const auto& argument : platform::CommandLineArguments()) args.push_back(platform::Utf16ToUtf8(argument));
  if (args.size() < 2 || args[1] == "--help" || args[1] == "-h") {
    std::fputs(kUsage, args.size() < 2 ? stderr : stdout);
    return args.size() < 2 ? buspeer::kUsage : buspeer::kOk;
  }
  try {
    return Run(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "buspeer: %s (buspeer --help lists the commands)\n", error.what());
    return buspeer::kUsage;
  }
}
