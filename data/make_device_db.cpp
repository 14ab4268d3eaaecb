// Build-time tool: turns data/language.csv into the shipped device database.
//
//     orv_make_device_db data/language.csv build/device.db
//
// The CSV holds comment lines (#), one header line and rows "Country_code,Language,...". Each row
// becomes a row of table language(Country_code TEXT, Language TEXT). The daemon puts the country
// digits into its query without quotes, so SQLite reads them as a number: 01 is read as 1. A code
// with leading zeros is therefore stored twice, as the ICCID carries it (01) and as the query
// reaches it (1). A code that begins another one of a different language is refused (below). The
// database is written to a temporary file and renamed into place, so a failed
// run never leaves a half-filled database behind.
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

bool is_digits(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool is_language(const std::string& s) {
    // The daemon keeps at most 9 characters of a language value.
    if (s.empty() || s.size() > 9) {
        return false;
    }
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    for (char c : line) {
        if (c == ',') {
            fields.push_back(field);
            field.clear();
        } else if (c != '\r') {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

bool exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::cerr << "orv_make_device_db: " << (error != nullptr ? error : "?") << "\n";
        sqlite3_free(error);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: orv_make_device_db LANGUAGE_CSV DEVICE_DB\n";
        return 2;
    }
    const std::string csv_path = argv[1];
    const std::string db_path = argv[2];
    const std::string tmp_path = db_path + ".tmp";

    std::ifstream csv(csv_path);
    if (!csv) {
        std::cerr << "orv_make_device_db: cannot read " << csv_path << "\n";
        return 1;
    }
    std::vector<std::pair<std::string, std::string>> rows;
    std::set<std::string> codes;
    std::string line;
    int number = 0;
    bool header_seen = false;
    while (std::getline(csv, line)) {
        ++number;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!header_seen) {
            header_seen = true;  // Country_code,Language,...
            continue;
        }
        const std::vector<std::string> f = split(line);
        if (f.size() < 2 || !is_digits(f[0]) || f[0].size() > 4 || !is_language(f[1])) {
            std::cerr << csv_path << ":" << number
                      << ": not a row of country digits and a language\n";
            return 1;
        }
        if (!codes.insert(f[0]).second) {
            std::cerr << csv_path << ":" << number << ": code " << f[0] << " appears twice\n";
            return 1;
        }
        rows.emplace_back(f[0], f[1]);
    }
    // The spelling in which the unquoted query digits reach SQLite.
    const std::size_t given = rows.size();
    for (std::size_t i = 0; i < given; ++i) {
        const std::string& code = rows[i].first;
        const std::size_t first = code.find_first_not_of('0');
        if (first == 0 || first == std::string::npos) {
            continue;
        }
        const std::string bare = code.substr(first);
        if (codes.insert(bare).second) {
            rows.emplace_back(bare, rows[i].second);
        }
    }
    // The daemon shortens the country digits (4, then 3, then 2) until a row is found, so a code
    // that begins a longer one must name the same language, or a SIM of the longer code's country
    // could get the shorter one's. The one clash accepted: Canada's MCC form 302 inside +30, where
    // no Greek issuer identifier begins with 2.
    for (const auto& [shorter, shorter_language] : rows) {
        for (const auto& [longer, longer_language] : rows) {
            if (longer != shorter && longer.starts_with(shorter) &&
                shorter_language != longer_language && !(shorter == "30" && longer == "302")) {
                std::cerr << csv_path << ": code " << shorter << " (" << shorter_language
                          << ") begins code " << longer << " (" << longer_language << ")\n";
                return 1;
            }
        }
    }

    std::remove(tmp_path.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(tmp_path.c_str(), &db) != SQLITE_OK) {
        std::cerr << "orv_make_device_db: cannot create " << tmp_path << "\n";
        sqlite3_close(db);
        return 1;
    }
    bool ok =
        exec(db, "CREATE TABLE language(Country_code TEXT, Language TEXT)") && exec(db, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT INTO language VALUES(?1, ?2)", -1, &insert,
                                  nullptr) == SQLITE_OK;
    for (std::size_t i = 0; ok && i < rows.size(); ++i) {
        sqlite3_bind_text(insert, 1, rows[i].first.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, rows[i].second.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && exec(db, "COMMIT");
    if (sqlite3_close(db) != SQLITE_OK || !ok) {
        std::cerr << "orv_make_device_db: writing " << tmp_path << " failed\n";
        std::remove(tmp_path.c_str());
        return 1;
    }
    if (std::rename(tmp_path.c_str(), db_path.c_str()) != 0) {
        std::cerr << "orv_make_device_db: cannot move the database to " << db_path << "\n";
        return 1;
    }
    std::cout << "device database " << db_path << ": " << rows.size() << " rows\n";
    return 0;
}
