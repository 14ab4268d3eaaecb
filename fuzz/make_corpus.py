#!/usr/bin/env python3
"""Writes the seed corpora of fuzz/corpus/ (every *.seed file; other files are left alone).

    python3 fuzz/make_corpus.py [BUILD_DIR]     # default: build

The answers are captured from BUILD_DIR/orv_modem_sim with the shipped profiles, raw as they
came; hand-written answers add the forms the virtual modem does not give. docs/fuzzing.md gives
each target's input framing.
"""
import glob
import os
import re
import socket
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")
FINAL = re.compile(rb"\r\n(OK|ERROR|\+CME ERROR: [^\r\n]*)\r\n$")
SEP = b"\0"
CRSM_ICCID, CRSM_PL = "AT+CRSM=176,12258,0,0,10", "AT+CRSM=176,12037,0,0,2"
CRSM_SPN, CRSM_AD = "AT+CRSM=176,28486,0,0,17", "AT+CRSM=176,28589,0,0,4"
PAY, SST = 'AT+CRSM=176,28418,0,0,1,,"7F43"', 'AT+CRSM=176,28472,0,0,1,,"7F20"'


def capture(build, name, profile, sim, commands):
    """The raw answers of one virtual modem to `commands`, after the bring-up's AT+CMEE=2."""
    args = [os.path.join(build, "orv_modem_sim"), "--listen", "tcp:127.0.0.1:0"]
    if profile:
        args += ["--profile", os.path.join(ROOT, "tools", "modem_sim", "profiles", profile)]
    if sim:
        args += ["--sim", sim]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    host, port = proc.stdout.readline().split()[1].rsplit(":", 1)
    sock = socket.create_connection((host, int(port)))
    sock.settimeout(2.0)

    def ask(command):
        sock.sendall(command.rstrip("\r\n").encode() + b"\r")
        data, deadline = b"", time.time() + 2.0
        while not FINAL.search(data) and time.time() < deadline:
            try:
                chunk = sock.recv(4096)
            except socket.timeout:
                break
            if not chunk:
                break
            data += chunk
        return data

    ask("AT+CMEE=2")
    if sim == "second" and not name.endswith("_busy"):
        ask("AT+CPIN?")  # the card is busy for its first two SIM commands
        ask("AT+CPIN?")
    answers = [ask(c) for c in commands]
    sock.close()
    proc.terminate()
    proc.wait()
    return answers


def message(ident, payload=b""):
    return struct.pack("<I", ident) + payload


def field(text, width):
    return text.encode().ljust(width, b"\0")[:width]


def first_line(answer):
    """The answer's information line, without the CR LF around it."""
    return answer[2:].split(b"\r\n", 1)[0]


PIN_MODE = lambda op, pin: message(5, b"\0" * 12 + struct.pack("<I", op) + field(pin, 10))
VERIFY = lambda code, new="": message(3, field(code, 10) + new.encode())
L, S = "locked.toml", "second"
# The requests on their good paths: seed name, profile, SIM, message, the commands it sends.
REQUESTS = [
    ("rpc_test", None, None, message(0), ["AT+CMEE=2", "AT", "AT"]),
    ("uim_state", None, None, message(1), ["AT+CPIN?\r\n"]),
    ("pin_status_ready", None, None, message(2), ["AT+CPIN?", "AT+EPINC"]),
    ("pin_status_locked", L, None, message(11), ["AT+CPIN?", "AT+EPINC"]),
    ("pin_status_netlock", L, S, message(2), ["AT+CPIN?", "AT+EPINC"]),
    ("verify_pin", L, None, VERIFY("4321"), ['AT+CPIN="4321"', "AT+EPINC"]),
    ("verify_pin_wrong", L, None, VERIFY("1111"), ['AT+CPIN="1111"', "AT+EPINC"]),
    ("verify_puk", L, None, VERIFY("87654321", "4321"), ['AT+CPIN="87654321","4321"', "AT+EPINC"]),
    ("change_pin", None, None, message(4, b"\0" * 10 + field("1234", 10) + field("5678", 10)),
     ['AT+CPWD="SC","1234","5678"', 'AT+CLCK="SC",2', "AT+CPIN?", "AT+EPINC", "AT+EPINC"]),
    ("pin_lock_on", None, None, PIN_MODE(1, "1234"),
     ['AT+CLCK="SC",1,"1234"', 'AT+CLCK="SC",2', "AT+EPINC"]),
    ("pin_lock_off", L, None, PIN_MODE(0, "4321"),
     ['AT+CLCK="SC",0,"4321"', 'AT+CLCK="SC",2', "AT+EPINC"]),
    ("pin_lock_query", None, None, PIN_MODE(2, ""), ['AT+CLCK="SC",2']),
    ("pin_puk_times", None, None, message(6), ["AT+EPINC"]),
    ("imei", None, None, message(7), ["AT+CGSN"]),
    ("unlock_times", L, S, message(12), ["AT+ESMLCK?"]),
    ("net_unlock", L, S, message(13, b"11112222"),
     ['AT+CPIN="11112222"', 'AT+CLCK="PN",0,"11112222"']),
    ("spn", None, None, message(14), [CRSM_SPN]),
    ("spn_ucs2", L, None, message(14), [CRSM_SPN]),
    ("radio_off", None, None, message(17, struct.pack("<I", 1)), ["AT+CFUN=0"]),
    ("radio_on", None, None, message(17, struct.pack("<I", 0)), ["AT+CFUN=1"]),
    ("iccid", None, None, message(27), [CRSM_ICCID, CRSM_PL]),
    ("iccid_two_languages", L, None, message(27), [CRSM_ICCID, CRSM_PL]),
    ("iccid_no_language", L, S, message(27), [CRSM_ICCID, CRSM_PL]),
    ("imsi", None, None, message(28), ["AT+CIMI"]),
    ("imsi_busy", L, S, message(28), ["AT+CIMI", "AT+CIMI"]),
    ("msisdn", None, None, message(29), ["AT+CNUM"]),
    ("msisdn_two", L, None, message(29), ["AT+CNUM"]),
    ("apn_sim_info", None, None, message(31), [CRSM_AD]),
    ("apn_sim_info_mnc3", L, S, message(31), [CRSM_AD]),
    ("pay_type", L, None, message(32), [PAY]),
    ("pay_type_fdn", None, None, message(32), [PAY, SST]),
]

VERSION = b"".join(field(t, w) for t, w in [("INNER-1.0", 32), ("ORV-MF1", 32), ("HW-B", 32),
                                             ("Orvio Devices", 224), ("INT-2.3", 32)])
# Requests served from the platform alone, identifiers with no handler, out-of-shape answers.
PLATFORM_REQUESTS = {
    "version_pcb": (message(8, VERSION), []),
    "version_ovn": (message(9, VERSION), []),
    "battery": (message(10, struct.pack("<iiii", 1, 3, 76, 1)), []),
    "no_battery": (message(10, b"\0" * 16), []),
    "no_handler": (message(20), []),
    "unknown_id": (message(99), []),
    "timeout_retry": (message(7), [b"TIMEOUT", b"TIMEOUT"]),
    "cme_error": (message(2), [b"\r\n+CME ERROR: SIM busy\r\n"]),
}


def conv(function, src_kind, dest_kind, limit, value, source):
    return struct.pack("<BBBHI", function, src_kind, dest_kind, limit, value) + source


def step(command, echo=0, line_end=0, timing=0, chunk=31, pieces=()):
    """One step of an AT channel conversation; a piece is (kind, where, param)."""
    head = command | echo << 3 | line_end << 4 | timing << 6
    return bytes([head, chunk, len(pieces)] + [k | w << 3 | p << 5 for k, w, p in pieces])


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    for seed in glob.glob(os.path.join(CORPUS, "*", "*.seed")):
        os.remove(seed)
    seeds, requests = {}, dict(PLATFORM_REQUESTS)
    got = {}  # command -> raw answers seen, for the reader targets
    for name, profile, sim, msg, commands in REQUESTS:
        answers = capture(build, name, profile, sim, commands)
        for c, a in zip(commands, answers):
            got.setdefault(c.rstrip("\r\n"), []).append(a)
        requests[name] = (msg, answers)
    for name, (msg, answers) in requests.items():
        seeds["request_path/" + name] = struct.pack("<H", len(msg)) + msg + SEP.join(answers)

    # The AT exchange: options byte, command, the channel's answers.
    long_spn = b"\r\n+CRSM: 144, 0,\"" + b"41" * 200 + b"\"\r\n\r\nOK\r\n"
    past_record = b"\r\n+CRSM: 144, 0,\"" + b"0" * 10300 + b"\"\r\n\r\nOK\r\n"
    for name, (bits, command, answers) in {
        "info_ok": (0, "AT+CGSN", [got["AT+CGSN"][0]]),
        "ok_only": (4, "AT", [b"\r\nOK\r\n"]),
        "multi_line": (0, "AT+CNUM", [got["AT+CNUM"][-1]]),
        "timeout_then_answer": (1, "AT+CFUN=1", [b"TIMEOUT", b"\r\nOK\r\n"]),
        "timeout_twice": (1, "AT+CFUN=1", [b"TIMEOUT", b"TIMEOUT"]),
        "timeout_skipped": (2, "AT", [b"TIMEOUT"]),
        "bare_line": (2, "AT+ESMLCK?", [b"+ESMLCK: (0,1,5,5)"]),
        "long_line": (0, CRSM_SPN, [long_spn]),
        "empty": (0, "AT+CPIN?", [b""]),
        "past_record": (0, CRSM_SPN, [past_record]),
    }.items():
        seeds["at_exchange/" + name] = bytes([bits]) + SEP.join([command.encode()] + answers)

    # The SIM readers: selector byte, then answer lines.
    line = {c: [first_line(a) for a in answers] for c, answers in got.items()}
    pl, spn, efad, cnum = line[CRSM_PL], line[CRSM_SPN], line[CRSM_AD], line["AT+CNUM"]
    for name, (bits, lines) in {
        "iccid": (0x08, [line[CRSM_ICCID][0], pl[0]]),
        "iccid_fail": (0x08, [b"+CRSM: 0, 0"]),
        "iccid_language_off": (0x00, [line[CRSM_ICCID][0]]),
        "msisdn": (0x01, [cnum[0]]),
        "msisdn_unknown": (0x01, [b"+CME ERROR: unknown"]),
        "efad": (0x02, [efad[0]]),
        "efad_mnc3": (0x02, [efad[-1]]),
        "efad_second_field": (0x12, [b"+CRSM: 144, 0,\"00000003\""]),
        "spn": (0x03, [spn[0]]),
        "spn_ucs2": (0x03, [spn[-1]]),
        "language": (0x04, [pl[0], b"4412"]),
        "language_empty_pl": (0x04, [pl[-1], b"3315"]),
        "language_country": (0x04, [b"44"]),
        "imsi_pay_type": (0x05, [line["AT+CIMI"][0], line[PAY][0]]),
        "pay_type_fdn": (0x05, [b"+CME ERROR: SIM busy", b"+CRSM: 148, 4", line[SST][0]]),
        "epinc": (0x06, [line["AT+EPINC"][0]]),
        "epinc_tight": (0x06, [b"+EPINC: 3,3,10,10"]),
        "epinc_short": (0x06, [b"+EPINC: 3, 3"]),
        "esmlck": (0x06, [line["AT+ESMLCK?"][0]]),
        "esmlck_off": (0x06, [b"+ESMLCK: (0,0,5,5),(1,0,5,5),(2,0,5,5),(3,0,5,5),(4,0,5,5)"]),
        "esmlck_subset": (0x06, [b"+ESMLCK: (0,0,5,5),(1,1,3,5),(2,0,5,5)"]),
        "counters_error": (0x06, [b"ERROR"]),
    }.items():
        seeds["sim_files/" + name] = bytes([bits]) + SEP.join(lines)

    # The conversion library: the documented examples.
    for name, args in {
        "utoa_zero": (0, 0, 0, 16, 0, b""),
        "utoa_max_hex": (0, 0, 0, 16, 0xFFFFFFFF, b""),
        "utoa_max_binary": (0, 0, 0, 2, 0xFFFFFFFF, b""),
        "utoa_ten": (0, 0, 0, 16, 10, b""),
        "hex_to_bytes": (1, 0, 0, 0, 0, b"656E"),
        "hex_to_bytes_lower": (1, 0, 0, 0, 0, b"656e"),
        "hex_to_bytes_odd": (1, 0, 0, 0, 0, b"656"),
        "hex_to_sim_bytes": (2, 0, 0, 0, 0, b"3F"),
        "hex_to_sim_bytes_skip": (2, 0, 0, 0, 0, b"G1"),
        "gsm_to_bit8": (3, 1, 4, 19, 0, b"en"),
        "gsm_to_bit8_cut": (3, 1, 4, 19, 0, b"abcdefghijklmnopqrstuvwxy"),
        "gsm_at_to_hex": (3, 1, 3, 19, 0, b"A\x01\xe6"),
        "gsm_refused": (3, 1, 4, 19, 0, b"\x8e"),
        "bit8_to_hex": (3, 4, 3, 9, 0, b"\x00\x41\xff\x10"),
        "kind_too_big": (3, 8, 4, 19, 0, b"en"),
        "gsm_walk": (4, 1, 0, 0, 0, b"A\x01\x10\x1b\x3c\x1b\x65\x1b"),
        "gsm_to_ucs2": (5, 1, 0, 40, 0, b"\x10\x41\xe6\x1b\x28"),
        "bit8_to_ucs2": (6, 4, 0, 17, 0, b"Netz"),
    }.items():
        seeds["convert/" + name] = conv(*args)

    # The AT channel: conversations, a step each (fuzz_at_channel.cpp gives the layout).
    for name, data in {
        # a report before, inside and after the answer, echo on, a byte at a time
        "reports_everywhere": step(0, 1, 0, 0, 0, [(2, 2, 0), (3, 0, 1), (2, 3, 2)]),
        # a message whose data line reads like text, and a broadcast whose data line is OK
        "message_data_lines": step(1, 0, 0, 0, 4, [(4, 2, 0), (6, 0, 0)]),
        "cr_only": step(0, 1, 1, 0, 3, [(0, 0, 1)]) + step(2, 0, 1),
        "lf_and_nul": step(1, 0, 2, 0, 5, [(5, 2, 3), (5, 0, 1)]),
        "late_then_other": step(1, 0, 0, 2) + step(0),
        "late_then_resent": step(0, 0, 0, 2) + step(6) + step(1),
        "never_then_two": step(1, 0, 0, 3) + step(0) + step(2),
        "asked_report": step(4, 0, 0, 0, 7, [(2, 2, 0), (2, 0, 0)]),
        "cut_report_then_echo": step(5, 0, 0, 0, 31, [(1, 3, 0)]) + step(0, 1),
        "long_lines_cut": step(3, 0, 0, 0, 31, [(7, 0, 7), (7, 0, 7)]),
    }.items():
        seeds["at_channel/" + name] = data

    for name, data in seeds.items():
        os.makedirs(os.path.dirname(os.path.join(CORPUS, name)), exist_ok=True)
        with open(os.path.join(CORPUS, name + ".seed"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
