// Device database: ORV_DEVICE_DB opened read-only for each query (it is consulted rarely, once
// per new SIM at most, and a fresh open follows a file replaced by an update). It is never
// created: a missing file fails the call.

#include <sqlite3.h>

#include "platform/orv_mdmdb.h"
#include "platform/orv_paths.h"

namespace {

struct RowSink {
    orv_db_row_cb callback;
    void* context;
    bool stopped;  // the callback asked to stop: not a failure of the query
};

int on_row(void* sink_ptr, int columns, char** values, char** names) {
    auto* sink = static_cast<RowSink*>(sink_ptr);
    if (sink->callback == nullptr) {
        return 0;
    }
    const int rc = sink->callback(sink->context, columns, values, names);
    sink->stopped = rc != 0;
    return rc;
}

}  // namespace

extern "C" int orv_libmdm_db_exec_sql(const char* sql, orv_db_row_cb callback, void* context) {
    if (sql == nullptr) {
        return -1;
    }
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(orv::paths::get(orv::paths::kDeviceDb), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return -1;
    }
    RowSink sink{callback, context, false};
    const int rc = sqlite3_exec(db, sql, on_row, &sink, nullptr);
    sqlite3_close(db);
    return rc == SQLITE_OK || (rc == SQLITE_ABORT && sink.stopped) ? 0 : -1;
}
