// Device database (liborvmdm).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*orv_db_row_cb)(void* context, int column_count, char** values, char** names);

// Runs `sql` against the read-only device database, calling `callback` once per result row
// before it returns. Returns 0, or -1 when the database cannot be opened or the query fails.
int orv_libmdm_db_exec_sql(const char* sql, orv_db_row_cb callback, void* context);

#ifdef __cplusplus
}
#endif
