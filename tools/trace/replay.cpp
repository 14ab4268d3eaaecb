// orv_trace replay: plays a recorded session against today's daemon. A fresh daemon runs in a
// temporary folder (the e2e rig's) with the virtual modem replaying the recorded line; the store,
// factory items, device database and battery driver are set up as the session found them; the
// recorded requests are sent at their recorded pace. The replayed daemon records a trace of its
// own, and what each request published (commands sent, store writes and commits, notifications,
// battery indicator) is compared with the recording, request by request.
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/orv_at.h"
#include "platform/orv_pwm.h"
#include "tools/client/orv_client.h"
#include "tools/rig/rig.h"
#include "tools/trace/commands.h"
#include "wire/mdm_msg.h"

namespace orv::trace {
namespace {

using Clock = std::chrono::steady_clock;
using Records = std::vector<Record>;

// What the daemon does that replay compares: commands it sends and everything it publishes.
bool is_effect(Kind kind) {
    return kind == Kind::kCmd || kind == Kind::kWrite || kind == Kind::kSave ||
           kind == Kind::kNotify || kind == Kind::kLed;
}

std::string describe_effect(const Record* r) {
    if (r == nullptr) {
        return "nothing more";
    }
    using client::quote_bytes;
    switch (r->kind) {
        case Kind::kCmd:
            return "command " + quote_bytes(r->str("c"));
        case Kind::kWrite:
            return "write " + r->str("n") + " = " + quote_bytes(r->str("v"));
        case Kind::kSave:
            return "save";
        case Kind::kNotify:
            return "notify " + client::describe_notification(r->str("b"));
        case Kind::kLed:
            return "led " + std::to_string(r->num("p")) +
                   " charging=" + std::to_string(r->num("c"));
        default:
            return std::string(kind_name(r->kind));
    }
}

// A start-up or a request of a trace, with its effects in order.
struct Part {
    const Record* req = nullptr;  // none: the start-up
    double begin = 0;
    double end = 0;
    std::vector<const Record*> effects;
    std::vector<const Record*> pwm;  // the battery driver's answers during the request
};

std::vector<Part> parts_of(const Records& records) {
    std::vector<Part> parts;
    for (const Group& g : group_requests(records)) {
        if (g.type == Group::Type::kBetween || g.begin == g.end) {
            continue;
        }
        Part p;
        p.req = g.type == Group::Type::kRequest ? &records[g.begin] : nullptr;
        p.begin = records[g.begin].t;
        p.end = records[g.end - 1].t;
        for (std::size_t i = g.begin; i < g.end; ++i) {
            if (is_effect(records[i].kind)) {
                p.effects.push_back(&records[i]);
            } else if (records[i].kind == Kind::kPwm) {
                p.pwm.push_back(&records[i]);
            }
        }
        parts.push_back(std::move(p));
    }
    return parts;
}

std::string part_label(const Part& p, std::size_t index, std::size_t requests) {
    if (p.req == nullptr) {
        return "the start-up";
    }
    const auto id = static_cast<std::uint32_t>(p.req->num("id"));
    char t[32];
    std::snprintf(t, sizeof t, "%.6f", p.req->t);
    return "request " + std::to_string(index) + " of " + std::to_string(requests) + " (" +
           std::to_string(id) + " " + std::string(msg::msg_name(id)) + ", t=" + t + ", line " +
           std::to_string(p.req->line) + ")";
}

// The AT wait scale of the recording, from its timed-out exchanges: the longest of (time the
// exchange took) / (its wait; 0 is the channel's default). 1 when nothing timed out.
double recorded_wait_scale(const Records& records) {
    double scale = 0;
    const Record* cmd = nullptr;
    for (const Record& r : records) {
        if (r.kind == Kind::kCmd) {
            cmd = &r;
        } else if (r.kind == Kind::kAns && cmd != nullptr && r.num("o") == ORV_AT_OUTCOME_TIMEOUT) {
            const std::int64_t wait_ms = cmd->num("w");
            const double wait_s = (wait_ms == 0 ? int{ORV_AT_DEFAULT_WAIT_MS} : wait_ms) / 1000.0;
            scale = std::max(scale, (r.t - cmd->t) / wait_s);
        }
    }
    return scale == 0 ? 1.0 : std::ceil(scale * 100.0) / 100.0;
}

// The store as the session found it: the values the daemon reads.
bool preset_store(const Records& records, const std::string& path, std::string& error) {
    client::Store store;
    if (!store.open(path, true, error)) {
        return false;
    }
    for (const Record& r : records) {
        if (r.kind == Kind::kReq) {
            break;  // the head of the file the session begins with
        }
        const Value* v = r.find("v");
        if (r.kind == Kind::kPreset && v != nullptr && v->type == Value::Type::kString &&
            !store.set(r.str("n"), v->text, error)) {
            return false;
        }
    }
    return true;
}

// The device database holding the rows each recorded language query got: the query ends in
// "like DIGITS"; its rows come just before its "sql" record.
bool build_device_db(const Records& records, const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, "CREATE TABLE language(Country_code TEXT, Language TEXT)", nullptr,
                           nullptr, nullptr) == SQLITE_OK;
    std::vector<const Record*> rows;
    for (const Record& r : records) {
        if (r.kind == Kind::kRow) {
            rows.push_back(&r);
            continue;
        }
        if (r.kind != Kind::kSql) {
            continue;
        }
        const std::string& q = r.str("q");
        const std::size_t like = q.rfind("like ");
        const std::string code = like == std::string::npos ? "" : q.substr(like + 5);
        for (const Record* row : rows) {
            const Value* v = row->find("v");
            sqlite3_stmt* st = nullptr;
            ok = ok &&
                 sqlite3_prepare_v2(db, "INSERT INTO language VALUES(?1, ?2)", -1, &st, nullptr) ==
                     SQLITE_OK &&
                 sqlite3_bind_text(st, 1, code.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK;
            if (ok && v != nullptr && !v->row.empty() && v->row[0]) {
                ok =
                    sqlite3_bind_text(st, 2, v->row[0]->c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK;
            }
            ok = ok && sqlite3_step(st) == SQLITE_DONE;
            sqlite3_finalize(st);
        }
        rows.clear();
    }
    if (!ok) {
        error = "device database " + path + ": " + sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    return ok;
}

// The battery driver stand-in's file for one request: the readings the driver gave, or no file
// when it could not be opened.
void write_battery(const Part& part, const std::string& path) {
    std::string text;
    bool opened = true;
    for (const Record* r : part.pwm) {
        const std::string& what = r->str("r");
        if (what == "open") {
            opened = r->num("rc") >= 0;
            continue;
        }
        for (const pwm::Query& q : pwm::kQueries) {
            if (what == (std::stringstream() << std::hex << q.request).str() && r->find("v")) {
                text += std::string(q.key) + "=" + std::to_string(r->num("v")) + "\n";
            }
        }
    }
    if (part.pwm.empty()) {
        return;  // the file stays as it was
    }
    if (!opened) {
        std::filesystem::remove(path);
        return;
    }
    std::ofstream(path, std::ios::trunc) << text;
}

// The records of the replayed daemon's trace written so far (whole lines only).
Records read_so_far(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    Records records;
    std::string error;
    parse_trace(text, path, records, error);
    return records;
}

std::size_t idles(const Records& records) {
    return static_cast<std::size_t>(std::count_if(
        records.begin(), records.end(), [](const Record& r) { return r.kind == Kind::kIdle; }));
}

// Plays the whole session; the exit status.
// A SIGINT or SIGTERM received during the replay: the replay ends at its next look, and the rig
// going out of scope ends the daemon and the virtual modem and removes the temporary folder.
volatile std::sig_atomic_t g_stopped_by = 0;

void on_stop(int sig) {
    g_stopped_by = sig;
}

// Sleeps until `until`, waking early when a stop was asked for.
void sleep_until_or_stopped(Clock::time_point until) {
    while (g_stopped_by == 0 && Clock::now() < until) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(20)));
    }
}

int play(const Records& recorded, const ReplayOptions& o, std::ostream& out, std::ostream& err) {
    const std::vector<Part> expected = parts_of(recorded);
    const std::size_t requests = static_cast<std::size_t>(std::count_if(
        expected.begin(), expected.end(), [](const Part& p) { return p.req != nullptr; }));
    e2e::Rig rig;
    std::string error;
    const bool any_sql = std::any_of(recorded.begin(), recorded.end(),
                                     [](const Record& r) { return r.kind == Kind::kSql; });
    const bool db_works = std::any_of(recorded.begin(), recorded.end(), [](const Record& r) {
        return r.kind == Kind::kSql && r.num("rc") == 0;
    });
    if (!preset_store(recorded, rig.path("nvram.db"), error) ||
        ((!any_sql || db_works) && !build_device_db(recorded, rig.path("device.db"), error))) {
        err << "orv_trace: " << error << "\n";
        return client::kExitFailed;
    }
    std::set<int> written;  // the first value of each item is the one the session found
    for (const Record& r : recorded) {
        const int id = static_cast<int>(r.num("id"));
        if (r.kind == Kind::kCfg && r.num("rc") >= 0 && written.insert(id).second) {
            rig.write_factory_item(id, r.str("v"));
        }
    }
    const double scale = o.wait_scale.value_or(recorded_wait_scale(recorded));
    char scale_text[32];
    std::snprintf(scale_text, sizeof scale_text, "%g", scale);
    // A file that began at a rotation holds no start-up: the modem answers the daemon's
    // bring-up with OK and plays the trace from the first request on.
    const bool continued = !recorded.empty() && recorded.front().kind == Kind::kTrace &&
                           recorded.front().find("continued") != nullptr;
    std::vector<std::string> modem_args = {"--replay", std::filesystem::absolute(o.file)};
    if (o.fast) {
        modem_args.push_back("--fast");
    }
    if (continued) {
        modem_args.push_back("--hold");
    }
    rig.start_modem({.args = modem_args});
    const std::string replayed = rig.path("replay.jsonl");
    rig.start_daemon({"ORV_TRACE=" + replayed, "ORV_DEVICE_DB=" + rig.path("device.db"),
                      "ORV_PWM_SIM=" + rig.path("battery"),
                      std::string("ORV_AT_WAIT_SCALE=") + scale_text});

    const auto replay_start = Clock::now();
    double first_request_t = -1;
    std::size_t effects = 0;
    std::size_t index = 0;
    for (const Part& part : expected) {
        index += part.req != nullptr ? 1 : 0;
        const std::string label = part_label(part, index, requests);
        if (part.req != nullptr) {
            if (first_request_t < 0) {
                first_request_t = part.req->t;
            }
            if (!o.fast) {
                sleep_until_or_stopped(replay_start + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(
                                                              part.req->t - first_request_t)));
            }
            if (g_stopped_by != 0) {
                break;
            }
            write_battery(part, rig.path("battery"));
            rig.send_raw(part.req->str("m"));
        }
        // The part has ended when the replayed daemon waits again: one "idle" per part.
        const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(2 * (part.end - part.begin) + 30));
        Records got;
        if (!rig.wait_for(
                [&] {
                    return g_stopped_by != 0 || idles(got = read_so_far(replayed)) >= index + 1;
                },
                limit, std::chrono::milliseconds(5))) {
            err << "orv_trace: replay: the daemon did not finish " << label << " within "
                << limit.count() / 1000 << " s\n";
            return client::kExitFailed;
        }
        if (g_stopped_by != 0) {
            break;
        }
        if (part.req == nullptr && continued) {
            rig.modem_ctl({"play"});
            continue;  // the bring-up the trace does not hold
        }
        const std::vector<Part> now = parts_of(got);
        const std::vector<const Record*>& have =
            index < now.size() ? now[index].effects : std::vector<const Record*>{};
        for (std::size_t i = 0; i < std::max(part.effects.size(), have.size()); ++i) {
            const Record* want = i < part.effects.size() ? part.effects[i] : nullptr;
            const Record* seen = i < have.size() ? have[i] : nullptr;
            const std::string a = describe_effect(want);
            const std::string b = describe_effect(seen);
            if (a != b) {
                err << "orv_trace: replay differs in " << label << ":\n"
                    << "  expected: " << a
                    << (want != nullptr ? " (line " + std::to_string(want->line) + ")" : "")
                    << "\n  got:      " << b << "\n";
                return client::kExitFailed;
            }
        }
        effects += part.effects.size();
    }
    if (g_stopped_by != 0) {
        err << "orv_trace: replay stopped by signal " << g_stopped_by
            << "; its daemon and virtual modem are ended, its folder removed\n";
        return 128 + g_stopped_by;
    }
    out << "orv_trace: replay of " << o.file << " matches: " << requests << " requests, " << effects
        << " commands and publications (AT wait scale " << scale_text << ")\n";
    return client::kExitOk;
}

}  // namespace

int replay(const Records& records, const ReplayOptions& options, std::ostream& out,
           std::ostream& err) {
    struct sigaction stop {
    }, old_int{}, old_term{};
    stop.sa_handler = on_stop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, &old_int);
    sigaction(SIGTERM, &stop, &old_term);
    g_stopped_by = 0;
    int status = client::kExitFailed;
    try {
        status = play(records, options, out, err);
    } catch (const std::exception& e) {
        err << "orv_trace: replay could not run: " << e.what() << "\n";
    }
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    return status;
}

}  // namespace orv::trace
