// orv_factory: writes and shows the factory configuration items the modem manager reads: the
// language auto-selection flag (item 2301) and the version record (item 2000).
#include <cstdio>
#include <string>

#include "platform/orv_cfg.h"
#include "platform/orv_paths.h"
#include "tools/client/orv_client.h"

namespace {

using namespace orv::client;

constexpr const char* kUsage =
    "Usage: orv_factory [--dir DIR] language on|off\n"
    "       orv_factory [--dir DIR] version [--inner X] [--model Y] [--hardware Z]\n"
    "                   [--manufacturer W] [--integrated V] [--fill-field NAME]...\n"
    "       orv_factory [--dir DIR] show\n"
    "       orv_factory [--dir DIR] get N\n"
    "Factory configuration items, one file each: DIR/N.\n"
    "\n"
    "  language   write item 2301: one byte, 1 (language follows the SIM) or 0\n"
    "  version    write item 2000, the 352-byte version record; fields not given stay\n"
    "             empty. Widths: inner 32, model 32, hardware 32, manufacturer 224,\n"
    "             integrated 32, each including the terminator\n"
    "  show       print both items readably\n"
    "  get N      dump item N as hex\n"
    "\n"
    "Options:\n"
    "  --dir DIR          items folder (default $ORV_FACTORY_DIR or /etc/orv/factory);\n"
    "                     created with mode 0750 when missing\n"
    "  --fill-field NAME  let field NAME take its whole width without terminator\n"
    "                     (for testing how the daemon reads such a field)\n"
    "  -h, --help         print this help\n"
    "  --version          print the version\n"
    "\n"
    "Items are written atomically (temporary file, then rename).\n"
    "Exit status: 0 done, 1 item missing or not writable, 2 usage error.\n";

constexpr CommandLine kCli{"orv_factory", kUsage};

// xxd-like lines: offset, 16 bytes in hex, the printable characters.
void dump_hex(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        std::printf("%08zx ", at);
        std::string chars;
        for (std::size_t i = at; i < at + 16; ++i) {
            if (i < bytes.size()) {
                const auto c = static_cast<unsigned char>(bytes[i]);
                std::printf(" %02x", c);
                chars.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.');
            } else {
                std::printf("   ");
            }
        }
        std::printf("  |%s|\n", chars.c_str());
    }
}

int show(const std::string& dir) {
    int status = kExitOk;
    std::string bytes;
    std::string error;
    switch (read_item(dir, ORV_CFG_AUTO_SET_LANGUAGE_ID, bytes, error)) {
        case Store::Found::kYes:
            if (bytes.empty()) {
                std::printf("%d language: empty item\n", ORV_CFG_AUTO_SET_LANGUAGE_ID);
            } else {
                std::printf("%d language: %s (byte %u%s)\n", ORV_CFG_AUTO_SET_LANGUAGE_ID,
                            bytes[0] != 0 ? "on" : "off", static_cast<unsigned char>(bytes[0]),
                            bytes.size() != orv::msg::language_flag::kSize ? ", longer item" : "");
            }
            break;
        case Store::Found::kNo:
            std::printf("%d language: missing\n", ORV_CFG_AUTO_SET_LANGUAGE_ID);
            status = kExitFailed;
            break;
        case Store::Found::kError:
            status = kCli.failed(error);
            break;
    }
    switch (read_item(dir, ORV_CFG_VERSION_ID, bytes, error)) {
        case Store::Found::kYes:
            std::printf("%d version: %zu bytes%s\n", ORV_CFG_VERSION_ID, bytes.size(),
                        bytes.size() < orv::msg::version_record::kSize
                            ? " (short: the rest reads as zero)"
                            : "");
            for (const std::string& line : describe_version_record(bytes)) {
                std::printf("%s\n", line.c_str());
            }
            break;
        case Store::Found::kNo:
            std::printf("%d version: missing\n", ORV_CFG_VERSION_ID);
            status = kExitFailed;
            break;
        case Store::Found::kError:
            status = kCli.failed(error);
            break;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = orv::paths::get(orv::paths::kFactoryDir);
    VersionTexts texts;
    std::array<bool, kVersionFieldCount> fill{};
    bool any_version_option = false;
    std::vector<Option> options = {
        text_option("--dir", dir),
        {"--fill-field", true, [&](const std::string& name) -> std::string {
             const std::size_t i = version_field_index(name);
             if (i == kVersionFieldCount) {
                 return "--fill-field \"" + name +
                        "\" is not inner, model, hardware, manufacturer or integrated";
             }
             fill[i] = any_version_option = true;
             return "";
         }}};
    for (std::size_t i = 0; i < kVersionFieldCount; ++i) {
        options.push_back({kVersionFields[i].option, true, [&, i](const std::string& text) {
                               texts[i] = text;
                               any_version_option = true;
                               return std::string();
                           }});
    }
    std::vector<std::string> args;
    if (const auto status = kCli.parse(arguments(argc, argv), options, args)) {
        return *status;
    }
    if (args.empty()) {
        return kCli.usage_error("missing command (language, version, show or get)");
    }
    const std::string command = args[0];
    const std::size_t nargs = args.size() - 1;
    if (command != "version" && any_version_option) {
        return kCli.usage_error("the field options go with version");
    }
    std::string error;
    if (command == "language") {
        if (nargs != 1) {
            return kCli.usage_error("language takes on or off");
        }
        const std::string arg = args[1];
        if (arg != "on" && arg != "off") {
            return kCli.usage_error("language takes on or off, not \"" + arg + "\"");
        }
        const char flag = arg == "on" ? 1 : 0;
        if (!write_item(dir, ORV_CFG_AUTO_SET_LANGUAGE_ID, std::string_view(&flag, 1), error)) {
            return kCli.failed(error);
        }
        return kExitOk;
    }
    if (command == "version") {
        if (nargs != 0) {
            return kCli.usage_error("version takes only options");
        }
        VersionRecord record{};
        if (!build_version_record(texts, fill, record, error)) {
            return kCli.usage_error(error);
        }
        const std::string_view bytes(reinterpret_cast<const char*>(record.data()), record.size());
        if (!write_item(dir, ORV_CFG_VERSION_ID, bytes, error)) {
            return kCli.failed(error);
        }
        return kExitOk;
    }
    if (command == "show") {
        if (nargs != 0) {
            return kCli.usage_error("show takes no arguments");
        }
        return show(dir);
    }
    if (command == "get") {
        std::uint32_t item = 0;
        if (nargs != 1 || !parse_u32(args[1], item)) {
            return kCli.usage_error("get takes one item number");
        }
        std::string bytes;
        switch (read_item(dir, item, bytes, error)) {
            case Store::Found::kYes:
                dump_hex(bytes);
                return kExitOk;
            case Store::Found::kNo:
                return kCli.failed("item " + std::to_string(item) + " is missing in " + dir);
            case Store::Found::kError:
                return kCli.failed(error);
        }
    }
    return kCli.usage_error("unknown command \"" + command + "\"");
}
