// orv_nvram: reads, writes, lists and watches the parameter store.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/orv_paths.h"
#include "tools/client/orv_client.h"

namespace {

using namespace orv::client;

constexpr const char* kUsage =
    "Usage: orv_nvram [options] get NAME\n"
    "       orv_nvram [options] set NAME VALUE\n"
    "       orv_nvram [options] unset NAME\n"
    "       orv_nvram [options] list\n"
    "       orv_nvram [options] watch [NAME...]\n"
    "Reads and writes the parameter store (SQLite, table nvram) directly.\n"
    "\n"
    "  get     print the value followed by a line feed (exit 1 when never written)\n"
    "  set     write VALUE (the store and its folder are created when missing)\n"
    "  unset   remove the value (exit 1 when there was none)\n"
    "  list    print every value as name=value, sorted by name; the backslash is\n"
    "          written as \\\\, CR, LF and tab as \\r \\n \\t, other bytes outside\n"
    "          printable ASCII as \\xNN\n"
    "  watch   print a timestamped line for every value that changes (all, or the\n"
    "          NAMEs given): \"TIME name=value\", or \"TIME name (unset)\" on removal\n"
    "\n"
    "Options:\n"
    "  --db PATH      the store (default $ORV_NVRAM or /var/lib/orv/nvram.db)\n"
    "  --hex          get, list: print values as hex; set: VALUE is given as hex\n"
    "  --count N      watch: exit 0 after N changes\n"
    "  --timeout S    watch: give up after S seconds (exit 1)\n"
    "  -h, --help     print this help\n"
    "  --version      print the version\n"
    "\n"
    "Exit status: 0 done, 1 value missing, store unreadable or watch timed out,\n"
    "2 usage error.\n";

constexpr CommandLine kCli{"orv_nvram", kUsage};

std::string shown(std::string_view value, bool hex) {
    return hex ? to_hex(value) : escape_bytes(value);
}

using Snapshot = std::map<std::string, std::string>;

bool take_snapshot(Store& store, const std::vector<std::string>& names, Snapshot& snap,
                   std::string& error) {
    std::vector<std::pair<std::string, std::string>> rows;
    if (!store.list(rows, error)) {
        return false;
    }
    snap.clear();
    for (auto& [name, value] : rows) {
        bool wanted = names.empty();
        for (const std::string& n : names) {
            wanted = wanted || n == name;
        }
        if (wanted) {
            snap.emplace(std::move(name), std::move(value));
        }
    }
    return true;
}

int watch(Store& store, const std::vector<std::string>& names, bool hex, long count,
          double timeout) {
    const volatile sig_atomic_t& stop = stop_on_signals();
    std::string error;
    Snapshot before;
    std::int64_t version = 0;
    if (!store.data_version(version, error) || !take_snapshot(store, names, before, error)) {
        return kCli.failed(error);
    }
    const double deadline = timeout >= 0 ? monotonic_seconds() + timeout : -1;
    long changes = 0;
    while (stop == 0) {
        if (count > 0 && changes >= count) {
            return kExitOk;
        }
        if (deadline >= 0 && monotonic_seconds() >= deadline) {
            return kCli.failed("no further change within the timeout");
        }
        sleep_ms(100);
        std::int64_t now_version = 0;
        if (!store.data_version(now_version, error)) {
            return kCli.failed(error);
        }
        if (now_version == version) {
            continue;
        }
        version = now_version;
        Snapshot after;
        if (!take_snapshot(store, names, after, error)) {
            return kCli.failed(error);
        }
        // Both maps are sorted: one merge walk finds the new, changed and removed values.
        auto a = before.begin();
        auto b = after.begin();
        while ((a != before.end() || b != after.end()) && (count <= 0 || changes < count)) {
            std::string line;
            if (b == after.end() || (a != before.end() && a->first < b->first)) {
                line = escape_bytes(a->first) + " (unset)";
                ++a;
            } else if (a == before.end() || b->first < a->first) {
                line = escape_bytes(b->first) + "=" + shown(b->second, hex);
                ++b;
            } else {
                if (a->second != b->second) {
                    line = escape_bytes(b->first) + "=" + shown(b->second, hex);
                }
                ++a;
                ++b;
            }
            if (!line.empty()) {
                std::printf("%s %s\n", timestamp_now().c_str(), line.c_str());
                std::fflush(stdout);
                ++changes;
            }
        }
        before = std::move(after);
    }
    return count > 0 && changes < count ? kExitFailed : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::string db = orv::paths::get(orv::paths::kNvram);
    bool hex = false;
    long count = 0;
    double timeout = -1;
    std::vector<std::string> args;
    if (const auto status = kCli.parse(arguments(argc, argv),
                                       {text_option("--db", db), flag_option("--hex", hex),
                                        count_option(count), timeout_option(timeout)},
                                       args)) {
        return *status;
    }
    if (args.empty()) {
        return kCli.usage_error("missing command (get, set, unset, list or watch)");
    }
    const std::string command = args.front();
    args.erase(args.begin());
    std::string error;
    const bool is_watch = command == "watch";
    if (!is_watch && (count > 0 || timeout >= 0)) {
        return kCli.usage_error("--count and --timeout go with watch");
    }
    if (hex && command == "unset") {
        return kCli.usage_error("--hex does not go with unset");
    }
    // Every NAME must be non-empty (the VALUE of set may be).
    const std::size_t names = command == "set" ? 1 : args.size();
    for (std::size_t i = 0; i < names && i < args.size(); ++i) {
        if (args[i].empty()) {
            return kCli.usage_error("a value name cannot be empty");
        }
    }

    Store store;
    if (command == "get") {
        if (args.size() != 1) {
            return kCli.usage_error("get takes one NAME");
        }
        if (!store.open(db, false, error)) {
            return kCli.failed(error);
        }
        std::string value;
        switch (store.get(args[0], value, error)) {
            case Store::Found::kYes:
                if (hex) {
                    std::printf("%s\n", to_hex(value).c_str());
                } else {
                    std::fwrite(value.data(), 1, value.size(), stdout);
                    std::fputc('\n', stdout);
                }
                return kExitOk;
            case Store::Found::kNo:
                return kCli.failed(args[0] + " was never written");
            case Store::Found::kError:
                return kCli.failed(error);
        }
    } else if (command == "set") {
        if (args.size() != 2) {
            return kCli.usage_error("set takes NAME and VALUE");
        }
        std::string value = args[1];
        if (hex && !from_hex(args[1], value)) {
            return kCli.usage_error("VALUE \"" + args[1] + "\" is not hex");
        }
        if (!store.open(db, true, error) || !store.set(args[0], value, error)) {
            return kCli.failed(error);
        }
        return kExitOk;
    } else if (command == "unset") {
        if (args.size() != 1) {
            return kCli.usage_error("unset takes one NAME");
        }
        if (!store.open(db, false, error)) {
            return kCli.failed(error);
        }
        switch (store.unset(args[0], error)) {
            case Store::Found::kYes:
                return kExitOk;
            case Store::Found::kNo:
                return kCli.failed(args[0] + " was never written");
            case Store::Found::kError:
                return kCli.failed(error);
        }
    } else if (command == "list") {
        if (!args.empty()) {
            return kCli.usage_error("list takes no arguments");
        }
        std::vector<std::pair<std::string, std::string>> rows;
        if (!store.open(db, false, error) || !store.list(rows, error)) {
            return kCli.failed(error);
        }
        for (const auto& [name, value] : rows) {
            std::printf("%s=%s\n", escape_bytes(name).c_str(), shown(value, hex).c_str());
        }
        return kExitOk;
    } else if (is_watch) {
        if (!store.open(db, false, error)) {
            return kCli.failed(error);
        }
        return watch(store, args, hex, count, timeout);
    }
    return kCli.usage_error("unknown command \"" + command + "\"");
}
