// AT-channel client (libat-com): one command out, one answer back.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ORV_AT_HEAD_SIZE = 8,
    ORV_AT_DATA_SIZE = 10240,
};

// The response record the channel fills. The head belongs to the channel (it keeps the answer's
// length and an outcome code there); callers read only aucDataBuf. Head bytes 0..3: length of the
// text in aucDataBuf (unsigned, native order); bytes 4..7: the outcome code below.
typedef struct orv_at_response {
    unsigned char aucHead[ORV_AT_HEAD_SIZE];
    char aucDataBuf[ORV_AT_DATA_SIZE];
} orv_at_response;

// Outcome codes kept in the head (bytes 4..7, native order), for tools and tests.
enum {
    ORV_AT_OUTCOME_ANSWER = 0,
    ORV_AT_OUTCOME_TIMEOUT = 1,
    ORV_AT_OUTCOME_NO_PORT = 2,
};

// The wait of a command sent with wait_ms 0, before ORV_AT_WAIT_SCALE.
enum { ORV_AT_DEFAULT_WAIT_MS = 5000 };
// The whole answer text when the wait ran out.
#define ORV_AT_TIMEOUT_TEXT "TIMEOUT"

// Sends `cmd` (CR appended unless it already ends in CR or CR LF) and collects the answer up to
// its final result line. `wait_ms` is scaled by ORV_AT_WAIT_SCALE; 0 means the default,
// ORV_AT_DEFAULT_WAIT_MS. aucDataBuf receives the answer text, exactly ORV_AT_TIMEOUT_TEXT when
// the wait ran out, or an empty text when the port cannot be opened, written or read. The caller
// clears the record first. Returns the outcome code.
int ClientSendCmd(const char* cmd, orv_at_response* res, int wait_ms);

// Optional observer of the line, for recording: when the program defines this function, the
// channel calls it with every piece of bytes it writes to the port (direction 0) and reads from
// it (direction 1), as it goes and before any cleaning. A program that does not define it links
// and runs as before (the reference is weak); channel libraries that do not call it are allowed.
enum { ORV_AT_WRITTEN = 0, ORV_AT_READ = 1 };
__attribute__((weak)) void orv_at_observe(int direction, const char* bytes, int length);

#ifdef __cplusplus
}
#endif
