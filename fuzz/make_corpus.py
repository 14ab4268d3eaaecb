#!/usr/bin/env python3
"""Writes the seed corpora of fuzz/corpus/ from answers captured from the virtual modem.

Starts build/orv_modem_sim on a TCP port with each shipped profile, sends the commands each
request sends (after the bring-up's AT+CMEE=2) and keeps the raw answers exactly as they came,
CR LF framing included. The seeds are then framed for each fuzz target (see docs/fuzzing.md),
together with a few hand-written answers: the documented answer forms that the virtual modem
does not produce (errors, out-of-shape lines) and the conversion library's documented examples.

    python3 fuzz/make_corpus.py [BUILD_DIR]     # default: build

Rewrites every file named *.seed under fuzz/corpus/; other files there (inputs kept from fuzzing
runs) are left alone.
"""
import os
import re
import socket
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")
PROFILES = os.path.join(ROOT, "tools", "modem_sim", "profiles")
FINAL = re.compile(rb"\r\n(OK|ERROR|\+CME ERROR: [^\r\n]*)\r\n$")
SEP = b"\0"


class Modem:
    """One virtual modem on a TCP port, answering one command at a time."""

    def __init__(self, build, profile=None, sim=None):
        args = [os.path.join(build, "orv_modem_sim"), "--listen", "tcp:127.0.0.1:0"]
        if profile:
            args += ["--profile", os.path.join(PROFILES, profile)]
        if sim:
            args += ["--sim", sim]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        host, port = line.split()[1].rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)))
        self.sock.settimeout(2.0)
        self.ask("AT+CMEE=2")

    def ask(self, command):
        self.sock.sendall(command.rstrip("\r\n").encode() + b"\r")
        data = b""
        deadline = time.time() + 2.0
        while not FINAL.search(data) and time.time() < deadline:
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                break
            if not chunk:
                break
            data += chunk
        return data

    def close(self):
        self.sock.close()
        self.proc.terminate()
        self.proc.wait()


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name + ".seed"), "wb") as f:
        f.write(data)


def first_line(answer):
    """The answer's information line, without the CR LF around it."""
    return answer[2:].split(b"\r\n", 1)[0]


def message(ident, payload=b""):
    return struct.pack("<I", ident) + payload


def text_field(text, width):
    return text.encode().ljust(width, b"\0")[:width]


def request(msg, answers):
    return struct.pack("<H", len(msg)) + msg + SEP.join(answers)


# The requests and the commands each sends on its good path.
def request_scenarios():
    pin_mode = lambda op, pin: message(5, b"\0" * 12 + struct.pack("<I", op) + text_field(pin, 10))
    change = lambda old, new: message(4, b"\0" * 10 + text_field(old, 10) + text_field(new, 10))
    verify = lambda code, new="": message(3, text_field(code, 10) + new.encode())
    crsm_iccid = "AT+CRSM=176,12258,0,0,10"
    crsm_pl = "AT+CRSM=176,12037,0,0,2"
    return [
        # (seed name, profile, sim, message, commands)
        ("rpc_test", None, None, message(0), ["AT+CMEE=2", "AT", "AT"]),
        ("uim_state", None, None, message(1), ["AT+CPIN?\r\n"]),
        ("pin_status_ready", None, None, message(2), ["AT+CPIN?", "AT+EPINC"]),
        ("pin_status_locked", "locked.toml", None, message(11), ["AT+CPIN?", "AT+EPINC"]),
        ("pin_status_netlock", "locked.toml", "second", message(2), ["AT+CPIN?", "AT+EPINC"]),
        ("verify_pin", "locked.toml", None, verify("4321"), ['AT+CPIN="4321"', "AT+EPINC"]),
        ("verify_pin_wrong", "locked.toml", None, verify("1111"), ['AT+CPIN="1111"', "AT+EPINC"]),
        ("verify_puk", "locked.toml", None, verify("87654321", "4321"),
         ['AT+CPIN="87654321","4321"', "AT+EPINC"]),
        ("change_pin", None, None, change("1234", "5678"),
         ['AT+CPWD="SC","1234","5678"', 'AT+CLCK="SC",2', "AT+CPIN?", "AT+EPINC", "AT+EPINC"]),
        ("pin_lock_on", None, None, pin_mode(1, "1234"),
         ['AT+CLCK="SC",1,"1234"', 'AT+CLCK="SC",2', "AT+EPINC"]),
        ("pin_lock_off", "locked.toml", None, pin_mode(0, "4321"),
         ['AT+CLCK="SC",0,"4321"', 'AT+CLCK="SC",2', "AT+EPINC"]),
        ("pin_lock_query", None, None, pin_mode(2, ""), ['AT+CLCK="SC",2']),
        ("pin_puk_times", None, None, message(6), ["AT+EPINC"]),
        ("imei", None, None, message(7), ["AT+CGSN"]),
        ("unlock_times", "locked.toml", "second", message(12), ["AT+ESMLCK?"]),
        ("net_unlock", "locked.toml", "second", message(13, b"11112222"),
         ['AT+CPIN="11112222"', 'AT+CLCK="PN",0,"11112222"']),
        ("spn", None, None, message(14), ["AT+CRSM=176,28486,0,0,17"]),
        ("spn_ucs2", "locked.toml", None, message(14), ["AT+CRSM=176,28486,0,0,17"]),
        ("radio_off", None, None, message(17, struct.pack("<I", 1)), ["AT+CFUN=0"]),
        ("radio_on", None, None, message(17, struct.pack("<I", 0)), ["AT+CFUN=1"]),
        ("iccid", None, None, message(27), [crsm_iccid, crsm_pl]),
        ("iccid_two_languages", "locked.toml", None, message(27), [crsm_iccid, crsm_pl]),
        ("iccid_no_language", "locked.toml", "second", message(27), [crsm_iccid, crsm_pl]),
        ("imsi", None, None, message(28), ["AT+CIMI"]),
        ("imsi_busy", "locked.toml", "second", message(28), ["AT+CIMI", "AT+CIMI"]),
        ("msisdn", None, None, message(29), ["AT+CNUM"]),
        ("msisdn_two", "locked.toml", None, message(29), ["AT+CNUM"]),
        ("apn_sim_info", None, None, message(31), ["AT+CRSM=176,28589,0,0,4"]),
        ("apn_sim_info_mnc3", "locked.toml", "second", message(31), ["AT+CRSM=176,28589,0,0,4"]),
        ("pay_type", "locked.toml", None, message(32), ['AT+CRSM=176,28418,0,0,1,,"7F43"']),
        ("pay_type_fdn", None, None, message(32),
         ['AT+CRSM=176,28418,0,0,1,,"7F43"', 'AT+CRSM=176,28472,0,0,1,,"7F20"']),
    ]


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    for folder, _, files in os.walk(CORPUS):
        for f in files:
            if f.endswith(".seed"):
                os.remove(os.path.join(folder, f))

    captured = {}  # command -> raw answers seen, for the reader targets
    for name, profile, sim, msg, commands in request_scenarios():
        modem = Modem(build, profile, sim)
        if sim == "second" and not name.endswith("_busy"):
            modem.ask("AT+CPIN?")  # the card is busy for its first two SIM commands
            modem.ask("AT+CPIN?")
        answers = [modem.ask(c) for c in commands]
        modem.close()
        for c, a in zip(commands, answers):
            captured.setdefault(c.rstrip("\r\n"), []).append(a)
        write("request_path", name, request(msg, answers))

    # Requests served from the platform alone, and an identifier with no handler.
    version = text_field("INNER-1.0", 32) + text_field("ORV-MF1", 32) + text_field("HW-B", 32)
    version += text_field("Orvio Devices", 224) + text_field("INT-2.3", 32)
    write("request_path", "version_pcb", request(message(8, version), []))
    write("request_path", "version_ovn", request(message(9, version), []))
    battery = struct.pack("<iiii", 1, 3, 76, 1)
    write("request_path", "battery", request(message(10, battery), []))
    write("request_path", "no_battery", request(message(10, b"\0" * 16), []))
    write("request_path", "no_handler", request(message(20), []))
    write("request_path", "unknown_id", request(message(99), []))
    write("request_path", "timeout_retry", request(message(7), [b"TIMEOUT", b"TIMEOUT"]))
    write("request_path", "cme_error", request(message(2), [b"\r\n+CME ERROR: SIM busy\r\n"]))

    # The AT exchange: options byte, command, then the channel's answers.
    exchange = {
        "info_ok": (0, "AT+CGSN", [captured["AT+CGSN"][0]]),
        "ok_only": (4, "AT", [b"\r\nOK\r\n"]),
        "multi_line": (0, "AT+CNUM", [captured["AT+CNUM"][-1]]),
        "timeout_then_answer": (1, "AT+CFUN=1", [b"TIMEOUT", b"\r\nOK\r\n"]),
        "timeout_twice": (1, "AT+CFUN=1", [b"TIMEOUT", b"TIMEOUT"]),
        "timeout_skipped": (2, "AT", [b"TIMEOUT"]),
        "bare_line": (2, "AT+ESMLCK?", [b"+ESMLCK: (0,1,5,5)"]),
        "long_line": (0, "AT+CRSM=176,28486,0,0,17",
                      [b"\r\n+CRSM: 144, 0,\"" + b"41" * 200 + b"\"\r\n\r\nOK\r\n"]),
        "empty": (0, "AT+CPIN?", [b""]),
        "past_record": (0, "AT+CRSM=176,28486,0,0,17",
                        [b"\r\n+CRSM: 144, 0,\"" + b"0" * 10300 + b"\"\r\n\r\nOK\r\n"]),
    }
    for name, (bits, command, answers) in exchange.items():
        write("at_exchange", name, bytes([bits]) + SEP.join([command.encode()] + answers))

    # The counter readers: one answer line each.
    counters = {
        "epinc": first_line(captured["AT+EPINC"][0]),
        "epinc_tight": b"+EPINC: 3,3,10,10",
        "epinc_short": b"+EPINC: 3, 3",
        "esmlck": first_line(captured["AT+ESMLCK?"][0]),
        "esmlck_off": b"+ESMLCK: (0,0,5,5),(1,0,5,5),(2,0,5,5),(3,0,5,5),(4,0,5,5)",
        "esmlck_subset": b"+ESMLCK: (0,0,5,5),(1,1,3,5),(2,0,5,5)",
        "error": b"ERROR",
    }
    for name, line in counters.items():
        write("sim_counters", name, line)

    # The SIM file readers: selector byte, then answer lines.
    iccid = first_line(captured["AT+CRSM=176,12258,0,0,10"][0])
    pl = [first_line(a) for a in captured["AT+CRSM=176,12037,0,0,2"]]
    spn = [first_line(a) for a in captured["AT+CRSM=176,28486,0,0,17"]]
    efad = [first_line(a) for a in captured["AT+CRSM=176,28589,0,0,4"]]
    cnum = [first_line(a) for a in captured["AT+CNUM"]]
    imsi = first_line(captured["AT+CIMI"][0])
    paytype = first_line(captured['AT+CRSM=176,28418,0,0,1,,"7F43"'][0])
    sst = first_line(captured['AT+CRSM=176,28472,0,0,1,,"7F20"'][0])
    files = {
        "iccid": (0x08, [iccid, pl[0]]),
        "iccid_fail": (0x08, [b"+CRSM: 0, 0"]),
        "iccid_language_off": (0x00, [iccid]),
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
        "imsi_pay_type": (0x05, [imsi, paytype]),
        "pay_type_fdn": (0x05, [b"+CME ERROR: SIM busy", b"+CRSM: 148, 4", sst]),
    }
    for name, (bits, lines) in files.items():
        write("sim_files", name, bytes([bits]) + SEP.join(lines))

    # The conversion library: the documented examples.
    def conv(function, src_kind, dest_kind, limit, value, source):
        return struct.pack("<BBBHI", function, src_kind, dest_kind, limit, value) + source

    convert = {
        "utoa_zero": conv(0, 0, 0, 16, 0, b""),
        "utoa_max_hex": conv(0, 0, 0, 16, 0xFFFFFFFF, b""),
        "utoa_max_binary": conv(0, 0, 0, 2, 0xFFFFFFFF, b""),
        "utoa_ten": conv(0, 0, 0, 16, 10, b""),
        "hex_to_bytes": conv(1, 0, 0, 0, 0, b"656E"),
        "hex_to_bytes_lower": conv(1, 0, 0, 0, 0, b"656e"),
        "hex_to_bytes_odd": conv(1, 0, 0, 0, 0, b"656"),
        "hex_to_sim_bytes": conv(2, 0, 0, 0, 0, b"3F"),
        "hex_to_sim_bytes_skip": conv(2, 0, 0, 0, 0, b"G1"),
        "gsm_to_bit8": conv(3, 1, 4, 19, 0, b"en"),
        "gsm_to_bit8_cut": conv(3, 1, 4, 19, 0, b"abcdefghijklmnopqrstuvwxy"),
        "gsm_at_to_hex": conv(3, 1, 3, 19, 0, b"A\x01\xe6"),
        "gsm_refused": conv(3, 1, 4, 19, 0, b"\x8e"),
        "bit8_to_hex": conv(3, 4, 3, 9, 0, b"\x00\x41\xff\x10"),
        "kind_too_big": conv(3, 8, 4, 19, 0, b"en"),
        "gsm_walk": conv(4, 1, 0, 0, 0, b"A\x01\x10\x1b\x3c\x1b\x65\x1b"),
        "gsm_to_ucs2": conv(5, 1, 0, 40, 0, b"\x10\x41\xe6\x1b\x28"),
        "bit8_to_ucs2": conv(6, 4, 0, 17, 0, b"Netz"),
    }
    for name, data in convert.items():
        write("convert", name, data)

    # The AT channel: conversations (fuzz_at_channel.cpp gives the step layout). A step is
    # (command | echo << 3 | line end << 4 | timing << 6, chunk, pieces...).
    def step(command, echo=0, line_end=0, timing=0, chunk=31, pieces=()):
        head = command | echo << 3 | line_end << 4 | timing << 6
        return bytes([head, chunk, len(pieces)] + list(pieces))

    def piece(kind, where=0, param=0):
        return kind | where << 3 | param << 5

    channel = {
        # a report before, inside and after the answer, echo on, a byte at a time
        "reports_everywhere": step(0, 1, 0, 0, 0, [piece(2, 2, 0), piece(3, 0, 1),
                                                   piece(2, 3, 2)]),
        # a message whose data line reads like text, and a broadcast whose data line is OK
        "message_data_lines": step(1, 0, 0, 0, 4, [piece(4, 2), piece(6, 0)]),
        "cr_only": step(0, 1, 1, 0, 3, [piece(0, 0, 1)]) + step(2, 0, 1),
        "lf_and_nul": step(1, 0, 2, 0, 5, [piece(5, 2, 3), piece(5, 0, 1)]),
        "late_then_other": step(1, 0, 0, 2) + step(0),
        "late_then_resent": step(0, 0, 0, 2) + step(6) + step(1),
        "never_then_two": step(1, 0, 0, 3) + step(0) + step(2),
        "asked_report": step(4, 0, 0, 0, 7, [piece(2, 2, 0), piece(2, 0, 0)]),
        "cut_report_then_echo": step(5, 0, 0, 0, 31, [piece(1, 3)]) + step(0, 1),
        "long_lines_cut": step(3, 0, 0, 0, 31, [piece(7, 0, 7), piece(7, 0, 7)]),
    }
    for name, data in channel.items():
        write("at_channel", name, data)


if __name__ == "__main__":
    main()
