// dataservice-server: the reference data service on an SQLite database.
//
//   init       create the database and import an installation file
//   users add  set a user's password (read from standard input)
//   serve      answer the 22 actions until SIGINT or SIGTERM
//
// Errors are one line on standard error; exit status 0 on success, 1 when
// the work failed, 2 for a command line that does not fit.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <sodium.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Authentication.h"
#include "CommandLine.h"
#include "DataServiceStub.h"
#include "InstallationFile.h"
#include "Service.h"
#include "ServiceLog.h"
#include "SqliteStore.h"

namespace DataServiceNamespace::server {
namespace {

namespace fs = std::filesystem;

const char *const mainHelp =
    "usage: dataservice-server COMMAND [OPTIONS]\n"
    "\n"
    "The reference data service of a video-surveillance installation.\n"
    "\n"
    "commands:\n"
    "  init       create a database and import an installation file\n"
    "  users add  set a user's password\n"
    "  serve      serve the database to clients\n"
    "\n"
    "'dataservice-server COMMAND --help' describes a command.\n";

const char *const initHelp =
    "usage: dataservice-server init --db PATH --from FILE [--replace]\n"
    "\n"
    "Creates the database at PATH (when missing) and imports the installation\n"
    "file FILE in one transaction: a file with an error changes nothing.\n"
    "\n"
    "  --db PATH     the database file\n"
    "  --from FILE   the installation file (JSON)\n"
    "  --replace     replace the installation of a database that holds one\n"
    "                (users are kept)\n";

const char *const usersHelp =
    "usage: dataservice-server users add NAME --db PATH\n"
    "\n"
    "Creates user NAME or sets a new password (which ends the user's sessions).\n"
    "The password is the first line of standard input, or is asked for without\n"
    "echo when standard input is a terminal; never give it on the command line.\n"
    "\n"
    "  --db PATH     the database file (made by init)\n";

const char *const serveHelp =
    "usage: dataservice-server serve --db PATH [OPTIONS]\n"
    "\n"
    "Serves the database. The first line on standard output is\n"
    "'listening on HOST:PORT'; the log goes to standard error. SIGINT or\n"
    "SIGTERM stops it: requests already received are answered, exit status 0.\n"
    "\n"
    "  --db PATH               the database file (made by init)\n"
    "  --listen HOST:PORT      where to listen (default 127.0.0.1:9000; port 0\n"
    "                          picks a free port)\n"
    "  --definition FILE       the schema file ConfigSerializationDef.txt\n"
    "                          (default: found beside the program)\n"
    "  --log-level LEVEL       off, error, warning, info (default) or debug\n"
    "  --session-idle SECONDS  sessions unused this long expire (default 28800)\n"
    "  --max-answer BYTES      larger answers are refused with 413 (default\n"
    "                          and most 67108864, one frame)\n";

// How long a stop waits for the answers of requests already received.
constexpr int32_t drainTimeoutMs = 30000;

bool wantsHelp(const std::vector<std::string> &arguments) {
    for (const std::string &argument : arguments)
        if (argument == "--help" || argument == "-h")
            return true;
    return false;
}

void requireNoPositional(const ParsedArguments &parsed) {
    if (!parsed.positional.empty())
        throw UsageError("unexpected argument \"" + parsed.positional.front() + "\"");
}

// A database that init made; serve and users never create one by a typo.
std::unique_ptr<SqliteStore> openExisting(const std::string &path) {
    if (!fs::is_regular_file(path))
        throw std::runtime_error("no database at " + path +
                                 " (create it with 'dataservice-server init')");
    return std::make_unique<SqliteStore>(path);
}

int init(const std::vector<std::string> &arguments) {
    if (wantsHelp(arguments))
        return std::fputs(initHelp, stdout), 0;
    const ParsedArguments parsed = parseArguments(arguments, {"db", "from"}, {"replace"});
    requireNoPositional(parsed);
    const std::string &database = parsed.required("db");
    // Read and checked before the database is touched.
    const Installation installation = readInstallationFile(parsed.required("from"));
    SqliteStore store(database);
    if (!parsed.has("replace") && !store.empty())
        throw std::runtime_error(database +
                                 " already holds an installation; give --replace to replace it");
    store.replaceInstallation(installation);
    return 0;
}

// The first line of standard input, or asked for twice without echo on a
// terminal.
std::string readPassword(const std::string &user) {
    if (!isatty(STDIN_FILENO)) {
        std::string line;
        if (!std::getline(std::cin, line))
            throw std::runtime_error("no password on standard input");
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    auto ask = [](const std::string &prompt) {
        std::fputs(prompt.c_str(), stderr);
        std::string line;
        std::getline(std::cin, line);
        std::fputs("\n", stderr);
        return line;
    };
    std::string first = ask("password for " + user + ": ");
    std::string second = ask("again: ");
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    const bool same = first == second;
    sodium_memzero(second.data(), second.size());
    if (!same) {
        sodium_memzero(first.data(), first.size());
        throw std::runtime_error("the two passwords differ");
    }
    return first;
}

int users(const std::vector<std::string> &arguments) {
    if (wantsHelp(arguments))
        return std::fputs(usersHelp, stdout), 0;
    const ParsedArguments parsed = parseArguments(arguments, {"db"}, {});
    if (parsed.positional.size() != 2 || parsed.positional[0] != "add")
        throw UsageError("expected 'users add NAME --db PATH'");
    const std::string &name = parsed.positional[1];
    if (name.empty())
        throw UsageError("the user name is empty");
    std::unique_ptr<SqliteStore> store = openExisting(parsed.required("db"));
    std::string password = readPassword(name);
    if (password.empty())
        throw std::runtime_error("the password is empty");
    const std::string hash = hashPassword(password);
    sodium_memzero(password.data(), password.size());
    store->putUser(UserRecord{name, hash});
    return 0;
}

// --definition, else the schema file beside the program, else where an
// installation puts it (PREFIX/share/dataservice beside PREFIX/bin), else the
// source tree the program was built from.
std::string definitionFile(const ParsedArguments &parsed) {
    const std::string named = "ConfigSerializationDef.txt";
    if (parsed.has("definition")) {
        const std::string &given = parsed.values.at("definition");
        if (!fs::is_regular_file(given))
            throw std::runtime_error("cannot read the definition file " + given);
        return given;
    }
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    std::vector<fs::path> candidates;
    if (!error)
        candidates = {program.parent_path() / named,
                      program.parent_path().parent_path() / "share" / "dataservice" / named};
    candidates.emplace_back(DS_DEFINITION_FILE);
    for (const fs::path &candidate : candidates)
        if (fs::is_regular_file(candidate))
            return candidate.string();
    throw std::runtime_error("cannot find " + named + "; give --definition FILE");
}

int serve(const std::vector<std::string> &arguments) {
    if (wantsHelp(arguments))
        return std::fputs(serveHelp, stdout), 0;
    const ParsedArguments parsed = parseArguments(
        arguments, {"db", "listen", "definition", "log-level", "session-idle", "max-answer"}, {});
    requireNoPositional(parsed);
    const std::string &database = parsed.required("db");
    const ListenAddress address = parseListenAddress(parsed.valueOr("listen", "127.0.0.1:9000"));
    const std::optional<LogLevel> level = logLevelNamed(parsed.valueOr("log-level", "info"));
    if (!level)
        throw UsageError("--log-level must be off, error, warning, info or debug");
    ServiceOptions options;
    options.sessionIdle = parseNumber(parsed.valueOr("session-idle", "28800"), "session-idle", 1,
                                      10LL * 365 * 86400);
    options.answerLimit = static_cast<std::size_t>(
        parseNumber(parsed.valueOr("max-answer", std::to_string(VELORN_IPC_MAX_PAYLOAD)),
                    "max-answer", 1024, VELORN_IPC_MAX_PAYLOAD));
    const std::string definition = definitionFile(parsed);

    // Every thread started from here on (the IPC library's, SQLite's) inherits
    // the mask, so the two signals reach only sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ServiceLog log(*level);
    std::unique_ptr<SqliteStore> store = openExisting(database);
    Service service(*store, options, log);
    DataServiceStub stub(definition); // destroyed before the service, whose handlers it calls
    service.registerWith(stub);
    // An empty host would mean the stub's default, loopback; here it means
    // every IPv4 address, as documented for --listen.
    const std::string host = address.host.empty() ? "0.0.0.0" : address.host;
    if (stub.startListening(host, address.port) != 1)
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(address.port));
    std::printf("listening on %s:%d\n", host.c_str(), stub.listeningPort());
    std::fflush(stdout);
    log.write(LogLevel::info, "serving " + database + " with " + definition);

    int received = 0;
    sigwait(&stopSignals, &received);
    log.write(LogLevel::info, std::string("stopping on ") +
                                  (received == SIGINT ? "SIGINT" : "SIGTERM"));
    // Stop accepting and reading; what was already received is answered.
    const int drained = callee_drain_ipc_channel(stub.listeningChannel, drainTimeoutMs);
    if (drained != VELORN_IPC_OK)
        log.write(LogLevel::warning, "stopped before every request was answered (code " +
                                         std::to_string(drained) + ")");
    stub.stopListening();
    store.reset(); // closes the database before the log line says so
    log.write(LogLevel::info, "stopped");
    return 0;
}

int run(const std::vector<std::string> &arguments) {
    if (arguments.empty())
        throw UsageError("a command is needed: init, users or serve");
    const std::string &command = arguments.front();
    const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    if (command == "--help" || command == "-h" || command == "help")
        return std::fputs(mainHelp, stdout), 0;
    if (!initialiseSodium())
        throw std::runtime_error("libsodium cannot be initialised");
    if (command == "init")
        return init(rest);
    if (command == "users")
        return users(rest);
    if (command == "serve")
        return serve(rest);
    throw UsageError("unknown command \"" + command + "\"");
}

} // namespace
} // namespace DataServiceNamespace::server

int main(int argc, char **argv) {
    using namespace DataServiceNamespace::server;
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError &error) {
        std::fprintf(stderr, "dataservice-server: %s (see dataservice-server --help)\n",
                     error.what());
        return 2;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "dataservice-server: %s\n", error.what());
        return 1;
    }
}
