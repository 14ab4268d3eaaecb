// Factory configuration items: the version record and atomic item files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/orv_paths.h"
#include "tools/client/orv_client.h"

namespace orv::client {

constexpr std::size_t kMaxItemSize = 1024 * 1024;

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::size_t version_field_index(std::string_view name) {
    for (std::size_t i = 0; i < kVersionFields.size(); ++i) {
        if (kVersionFields[i].name == name) {
            return i;
        }
    }
    return kVersionFieldCount;
}

bool build_version_record(const VersionTexts& texts,
                          const std::array<bool, kVersionFieldCount>& fill, VersionRecord& record,
                          std::string& error) {
    record.fill(0);
    for (std::size_t i = 0; i < kVersionFieldCount; ++i) {
        const VersionFieldRow& row = kVersionFields[i];
        if (fill[i] && !texts[i]) {
            error = "--fill-field " + std::string(row.name) + " needs --" + std::string(row.name) +
                    " TEXT";
            return false;
        }
        if (!texts[i]) {
            continue;
        }
        const std::string& text = *texts[i];
        const std::size_t room = fill[i] ? row.field.width : row.field.width - 1;
        if (text.size() > room) {
            error = "--" + std::string(row.name) + " is " + std::to_string(text.size()) +
                    " characters; the " + std::string(row.name) + " field holds " +
                    std::to_string(row.field.width - 1) + " and its terminator" +
                    (fill[i] ? ""
                             : " (" + std::to_string(row.field.width) +
                                   " without terminator with --fill-field " +
                                   std::string(row.name) + ")");
            return false;
        }
        std::memcpy(record.data() + row.field.offset, text.data(), text.size());
    }
    return true;
}

std::vector<std::string> describe_version_record(std::string_view bytes) {
    // The daemon reads the item into a cleared record; a shorter item leaves zeroes.
    VersionRecord record{};
    std::memcpy(record.data(), bytes.data(),
                bytes.size() < record.size() ? bytes.size() : record.size());
    const std::string_view all(reinterpret_cast<const char*>(record.data()), record.size());
    std::vector<std::string> lines;
    for (const VersionFieldRow& row : kVersionFields) {
        const std::string_view text = field_text(all, row.field);
        std::string line = "  " + std::string(row.name) + "=" + quote_bytes(text);
        if (text.size() == row.field.width) {
            line += " (fills its field, no terminator)";
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

bool write_item(const std::string& dir, unsigned item, std::string_view bytes, std::string& error) {
    if (!orv::paths::make_dirs(dir.c_str())) {
        error = "cannot create the folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    const std::string path = join_path(dir, std::to_string(item));
    const std::string temp =
        join_path(dir, "." + std::to_string(item) + ".tmp." + std::to_string(getpid()));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    if (!write_all(fd, bytes) || fsync(fd) != 0) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    close(fd);
    if (rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

Store::Found read_item(const std::string& dir, unsigned item, std::string& bytes,
                       std::string& error) {
    const std::string path = join_path(dir, std::to_string(item));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return Store::Found::kNo;
        }
        error = "cannot open " + path + ": " + std::strerror(errno);
        return Store::Found::kError;
    }
    const auto fail = [&](std::string what) {
        error = std::move(what);
        close(fd);
        return Store::Found::kError;
    };
    bytes.clear();
    char buf[4096];
    for (ssize_t n = 0; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail("cannot read " + path + ": " + std::strerror(errno));
        }
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxItemSize) {
            return fail(path + " is larger than 1 MiB");
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return Store::Found::kYes;
}

}  // namespace orv::client
