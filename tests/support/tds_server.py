#!/usr/bin/env python3
"""A stand-in database server for the integration tests (never shipped).

It speaks TDS 7.x without encryption on a loopback port and answers exactly what
Bakwyn sends: a login, the catalogue query and BACKUP DATABASE. Everything it
receives is recorded so that tests can assert what went over the wire.

A second loopback port takes JSON lines for the tests:
  {"cmd": "ping"}
  {"cmd": "reset"}                         start-up configuration, no faults, empty record
  {"cmd": "configure", "users": {"sa": "pw"}, "databases": [...], "drives": {"T": "/dir"},
   "non_sysadmins": ["clerk"]}             each key given replaces that part; a login
                                           not a sysadmin may not run xp_create_subdir
                                           or xp_delete_file (229)
  {"cmd": "instances", "names": ["SQLEXPRESS"]}
                                           the named instances this server is: the
                                           Browser (UDP, --browser-port) answers for
                                           them and a PRELOGIN must name one of them;
                                           [] makes it the default instance again and
                                           closes the Browser. Not ok when the
                                           Browser's port cannot be bound.
  {"cmd": "browser", "on": false|true}     stops or restarts the Browser's answers
                                           (the instances stay)
  {"cmd": "arm", "fault": F, ...}          F applies to the next BACKUP only
                                           ("hang" also to a catalogue query):
        "disk_full"  3202 + 3013 after "after" percent (default 50)
        "drop"       the connection is closed after "after" percent (default 50)
        "hang"       no answer for "seconds" (default 30) unless the client cancels;
                     the first BACKUP or catalogue query takes it
        "denied"     3201 with operating system error 5 (as for a folder with no
                     write permission bits)
        "catalogue_error"  the next catalogue query answers an informational
                     message (50001), its rows, then error 50002
        "slow"       the backup takes "seconds" (default 6) and succeeds: its
                     progress messages go out as it runs, in "packets" flushes
                     spread evenly over that time (default one per message), each
                     its own packet without end of message; silent in between
                     unless the client cancels
        "stall"      the progress up to "after" percent (default 50) goes out at
                     once, each message its own packet; then the backup stays
                     silent for "seconds" (default 30) unless the client cancels,
                     and then ends as a normal backup
  {"cmd": "record"}                        {"logins": [...], "statements": [...],
                                            "browser": [{"instance", "answered"}]}
                                           a statement's "answered" is true once its
                                           whole answer has gone out (a cancelled one's
                                           acknowledgement included)
  {"cmd": "listen", "on": false|true}      closes or reopens the TDS port
Each answer is one JSON line with "ok".

Statements it understands: the catalogue query, BACKUP DATABASE (the system
databases master and model always exist), SET, and
  EXEC master.dbo.xp_create_subdir N'T:\\a\\b'     creates the whole path
  EXEC master.dbo.xp_delete_file 0, N'T:\\a\\x.bak' deletes that file if it is there

The SQL Server Browser (MC-SQLR) part: a CLNT_UCAST_INST request (0x04 and an
instance name) for a listed instance gets SVR_RESP (0x05, length, then
"ServerName;HOST;InstanceName;NAME;IsClustered;No;Version;16.0.1000.6;tcp;PORT;;")
with this server's TDS port; any other instance gets no answer, as from SQL
Server's Browser. FreeTDS always asks UDP port 1434, so that is the default.

Run:  tds_server.py start --dir DIR [--user NAME=PASSWORD] [--database NAME] [--drive T=/dir]
                         [--instance NAME] [--browser-port PORT]
      tds_server.py stop --dir DIR
      tds_server.py serve ...  (in the foreground)
"start" returns once DIR/port (the TDS port) and DIR/control-port exist. "start" and
"stop" take several --dir, one server each (the lanes of the Wine tests, which share
nothing); the other options then apply to every one of them.
"""

import argparse
import json
import os
import re
import select
import signal
import socket
import struct
import sys
import threading
import time

# Packet types
PT_SQL_BATCH = 0x01
PT_RPC = 0x03
PT_REPLY = 0x04
PT_ATTENTION = 0x06
PT_TRANSACTION = 0x0E
PT_LOGIN7 = 0x10
PT_PRELOGIN = 0x12

# Token types used besides messages and DONE
TOKEN_RETURNSTATUS = 0x79
TOKEN_DONEPROC = 0xFE

# The databases every SQL Server has, whatever a test configures for the catalogue.
SYSTEM_DATABASES = ("master", "model")

# DONE status bits
DONE_FINAL = 0x0000
DONE_MORE = 0x0001
DONE_ERROR = 0x0002
DONE_COUNT = 0x0010
DONE_ATTN = 0x0020

TDS74 = 0x74000004
TDS72 = 0x72090002
# Latin1_General_CI_AS
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])

CATALOGUE_QUERY = "select name from master..sysdatabases order by name"


def b_varchar(text):
    data = text.encode("utf-16-le", "surrogatepass")
    return bytes([len(data) // 2]) + data


def us_varchar(text):
    data = text.encode("utf-16-le", "surrogatepass")
    return struct.pack("<H", len(data) // 2) + data


def utf16(data):
    return data.decode("utf-16-le", "replace")


class Message:
    """One server message (INFO when cls <= 10, else ERROR)."""

    def __init__(self, number, cls, text, state=1):
        self.number, self.cls, self.text, self.state = number, cls, text, state


class ParseError(Exception):
    def __init__(self, messages):
        super().__init__(messages[0].text)
        self.messages = messages


def syntax_error(near):
    return ParseError([Message(102, 15, "Incorrect syntax near '%s'." % near)])


# ---------------------------------------------------------------------------
# BACKUP DATABASE, as far as SQL Server's grammar goes for what a client sends.

TOKEN_RE = re.compile(r"""
    (?P<space>\s+|--[^\n]*|/\*.*?\*/)
  | (?P<string>[Nn]?')
  | (?P<bracket>\[)
  | (?P<quoted>")
  | (?P<number>\d+(?:\.\d+)?)
  | (?P<word>[^\W\d][\w@#$]*|[@#][\w@#$]*)
  | (?P<punct>.)
""", re.VERBOSE | re.DOTALL)


def tokenize(text):
    """Yields (kind, value, raw). Kinds: word, ident, string, number, punct."""
    pos = 0
    tokens = []
    while pos < len(text):
        m = TOKEN_RE.match(text, pos)
        kind = m.lastgroup
        if kind == "space":
            pos = m.end()
            continue
        if kind in ("string", "bracket", "quoted"):
            close = {"string": "'", "bracket": "]", "quoted": '"'}[kind]
            start = m.end()
            i = start
            value = []
            while True:
                j = text.find(close, i)
                if j < 0:
                    rest = text[start:]
                    if kind == "string":
                        raise ParseError([
                            Message(105, 15, "Unclosed quotation mark after the character string '%s'." % rest),
                            Message(102, 15, "Incorrect syntax near '%s'." % rest)])
                    raise ParseError([Message(105, 15, "Unclosed quotation mark after the character string '%s'." % rest)])
                value.append(text[i:j])
                if text.startswith(close * 2, j):
                    value.append(close)
                    i = j + 2
                    continue
                pos = j + 1
                break
            tokens.append(("string" if kind == "string" else "ident", "".join(value), text[m.start():pos]))
            continue
        tokens.append((kind, m.group(kind), m.group(kind)))
        pos = m.end()
    return tokens


BACKUP_OPTIONS_FLAG = {
    "INIT", "NOINIT", "UNLOAD", "NOUNLOAD", "SKIP", "NOSKIP", "FORMAT", "NOFORMAT",
    "REWIND", "NOREWIND", "COMPRESSION", "NO_COMPRESSION", "COPY_ONLY", "CHECKSUM",
    "NO_CHECKSUM", "CONTINUE_AFTER_ERROR", "STOP_ON_ERROR", "DIFFERENTIAL", "RESTART",
}
BACKUP_OPTIONS_TEXT = {"NAME", "DESCRIPTION", "MEDIANAME", "MEDIADESCRIPTION", "PASSWORD",
                       "MEDIAPASSWORD", "EXPIREDATE"}
BACKUP_OPTIONS_NUMBER = {"RETAINDAYS", "BLOCKSIZE", "BUFFERCOUNT", "MAXTRANSFERSIZE", "FILE"}


class Tokens:
    def __init__(self, tokens):
        self.tokens, self.i = tokens, 0

    def peek(self):
        return self.tokens[self.i] if self.i < len(self.tokens) else None

    def take(self):
        tok = self.peek()
        if tok is None:
            raise syntax_error(self.tokens[-1][2] if self.tokens else "")
        self.i += 1
        return tok

    def keyword(self, word):
        tok = self.take()
        if tok[0] != "word" or tok[1].upper() != word:
            raise syntax_error(tok[2])

    def punct(self, char):
        tok = self.take()
        if tok != ("punct", char, char):
            raise syntax_error(tok[2])

    def at_word(self, word):
        tok = self.peek()
        return tok is not None and tok[0] == "word" and tok[1].upper() == word

    def at_punct(self, char):
        tok = self.peek()
        return tok is not None and tok[0] == "punct" and tok[1] == char

    def literal(self):
        """A string literal or variable: never an expression (the next token is checked by the caller)."""
        tok = self.take()
        if tok[0] == "string" or (tok[0] == "word" and tok[1].startswith("@")):
            return tok[1]
        raise syntax_error(tok[2])


def parse_backup(text):
    """Returns dict(database, disks, options) or raises ParseError."""
    t = Tokens(tokenize(text))
    t.keyword("BACKUP")
    t.keyword("DATABASE")
    tok = t.take()
    if tok[0] not in ("word", "ident"):
        raise syntax_error(tok[2])
    database = tok[1]
    t.keyword("TO")
    disks = []
    while True:
        t.keyword("DISK")
        t.punct("=")
        disks.append(t.literal())
        if not t.at_punct(","):
            break
        t.take()
    options = {}
    if t.at_word("WITH"):
        t.take()
        while True:
            tok = t.take()
            name = tok[1].upper() if tok[0] == "word" else None
            if name in BACKUP_OPTIONS_FLAG:
                options[name] = True
            elif name == "STATS":
                options[name] = 10
                if t.at_punct("="):
                    t.take()
                    num = t.take()
                    if num[0] != "number":
                        raise syntax_error(num[2])
                    options[name] = int(float(num[1]))
            elif name in BACKUP_OPTIONS_TEXT:
                t.punct("=")
                options[name] = t.literal()
            elif name in BACKUP_OPTIONS_NUMBER:
                t.punct("=")
                num = t.take()
                if num[0] != "number":
                    raise syntax_error(num[2])
                options[name] = num[1]
            elif tok[0] == "word":
                raise ParseError([Message(155, 15, "'%s' is not a recognized BACKUP option." % tok[1])])
            else:
                raise syntax_error(tok[2])
            if not t.at_punct(","):
                break
            t.take()
    if t.at_punct(";"):
        t.take()
    extra = t.peek()
    if extra is not None:
        raise syntax_error(extra[2])
    return {"database": database, "disks": disks, "options": options}


# ---------------------------------------------------------------------------

class State:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.startup = {
            "users": dict(u.split("=", 1) for u in args.user),
            "databases": list(args.database),
            "drives": {d.split("=", 1)[0].upper(): d.split("=", 1)[1] for d in args.drive},
            "instances": list(args.instance),
        }
        self.server_name = args.server_name or socket.gethostname().upper()
        self.reset()

    def reset(self):
        with self.lock:
            self.users = dict(self.startup["users"])
            self.databases = list(self.startup["databases"])
            self.drives = dict(self.startup["drives"])
            self.instances = list(self.startup["instances"])
            self.non_sysadmins = set()
            self.fault = None
            self.logins = []
            self.statements = []
            self.browser_requests = []

    def instance_listed(self, name):
        """The listed instance of that name (instance names ignore case), else None."""
        with self.lock:
            for listed in self.instances:
                if listed.casefold() == name.casefold():
                    return listed
        return None

    def take_fault(self):
        with self.lock:
            fault, self.fault = self.fault, None
            return fault

    def take_fault_if(self, kind):
        """The armed fault if it is of this kind (taken), else None (left armed)."""
        with self.lock:
            if self.fault is None or self.fault["fault"] != kind:
                return None
            fault, self.fault = self.fault, None
            return fault


class TdsConnection:
    def __init__(self, sock, state):
        self.sock, self.state = sock, state
        self.packet_size = 4096
        self.version = TDS74
        self.user = None
        self.pending = b""
        self.prelogin_instance = None  # None: no PRELOGIN, or no instance option in it
        self.instance_refused = False

    # -- framing ------------------------------------------------------------
    def recv_exact(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("client closed")
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def read_message(self):
        payload = b""
        while True:
            header = self.recv_exact(8)
            ptype, status, length = struct.unpack(">BBH", header[:4])
            payload += self.recv_exact(length - 8)
            if status & 0x01:
                return ptype, payload

    def send(self, payload, ptype=PT_REPLY, last=True):
        chunk = self.packet_size - 8
        parts = [payload[i:i + chunk] for i in range(0, len(payload), chunk)] or [b""]
        for n, part in enumerate(parts):
            eom = last and n == len(parts) - 1
            header = struct.pack(">BBHHBB", ptype, 0x01 if eom else 0x00, len(part) + 8, 0x33, (n + 1) % 256, 0)
            self.sock.sendall(header + part)

    # -- tokens -------------------------------------------------------------
    def message_token(self, msg):
        token = 0xAA if msg.cls > 10 else 0xAB
        body = (struct.pack("<iBB", msg.number, msg.state, msg.cls) + us_varchar(msg.text)
                + b_varchar(self.state.server_name) + b_varchar("") + struct.pack("<i", 1))
        return bytes([token]) + struct.pack("<H", len(body)) + body

    @staticmethod
    def done(status, rows=0, curcmd=0):
        return struct.pack("<BHHQ", 0xFD, status, curcmd, rows)

    @staticmethod
    def envchange(kind, new, old):
        body = bytes([kind]) + b_varchar(new) + b_varchar(old)
        return bytes([0xE3]) + struct.pack("<H", len(body)) + body

    def messages(self, msgs, status=DONE_FINAL):
        out = b"".join(self.message_token(m) for m in msgs)
        if any(m.cls > 10 for m in msgs):
            status |= DONE_ERROR
        return out + self.done(status)

    # -- conversation -------------------------------------------------------
    def run(self):
        try:
            ptype, payload = self.read_message()
            if ptype == PT_PRELOGIN:
                self.prelogin_instance = prelogin_instance(payload)
                self.instance_refused = not self.instance_accepted(self.prelogin_instance)
                self.send(self.prelogin_reply(self.instance_refused))
                ptype, payload = self.read_message()
            if ptype != PT_LOGIN7 or not self.login(payload):
                return
            while True:
                ptype, payload = self.read_message()
                if ptype == PT_SQL_BATCH:
                    self.batch(payload)
                elif ptype == PT_ATTENTION:
                    self.send(self.done(DONE_ATTN))
                elif ptype == PT_TRANSACTION:
                    self.send(self.done(DONE_FINAL))
                else:
                    self.send(self.messages([Message(50000, 16, "Request type %d is not supported here." % ptype)]))
        except (ConnectionError, OSError):
            pass
        finally:
            try:
                self.sock.close()
            except OSError:
                pass

    def instance_accepted(self, name):
        """A named instance answers only a PRELOGIN that names it, or names none (a bare 0x00)."""
        with self.state.lock:
            if not self.state.instances:
                return True
        return not name or self.state.instance_listed(name) is not None

    @staticmethod
    def prelogin_reply(instance_refused=False):
        options = [
            (0x00, bytes([16, 0, 0x10, 0x00, 0, 0])),  # version 16.0.4096
            (0x01, bytes([0x02])),                     # encryption not supported
            (0x02, bytes([0x01 if instance_refused else 0x00])),  # instance: 1 = not this one
            (0x04, bytes([0x00])),                     # MARS off
        ]
        offset = len(options) * 5 + 1
        head, body = b"", b""
        for token, data in options:
            head += struct.pack(">BHH", token, offset + len(body), len(data))
            body += data
        return head + b"\xff" + body

    def login(self, p):
        _, version, packet_size = struct.unpack_from("<III", p, 0)

        def field(pos):
            off, length = struct.unpack_from("<HH", p, pos)
            return p[off:off + 2 * length]

        raw_password = field(44)
        password = bytes((((b ^ 0xA5) & 0x0F) << 4) | ((b ^ 0xA5) >> 4) for b in raw_password)
        record = {
            "host": utf16(field(36)),
            "user": utf16(field(40)),
            "password": utf16(password),
            "app": utf16(field(48)),
            "server": utf16(field(52)),
            "library": utf16(field(60)),
            "language": utf16(field(64)),
            "database": utf16(field(68)),
            "tds_version": "%08x" % version,
            "instance": self.prelogin_instance,
        }
        if packet_size >= 512:
            self.packet_size = min(packet_size, 32767)
        self.version = TDS74 if version >= TDS74 else (version if version >= TDS72 else TDS72)
        state = self.state
        with state.lock:
            known = state.users.get(record["user"])
            accepted = known is not None and known == record["password"] and not self.instance_refused
            databases = list(state.databases)
            record["accepted"] = accepted
            record["refused_instance"] = self.instance_refused
            state.logins.append(record)
        if self.instance_refused:
            # The PRELOGIN answer told the client this is not the instance it
            # wants; a client that logs in anyway gets no answer.
            return False
        if not accepted:
            self.send(self.messages([Message(18456, 14, "Login failed for user '%s'." % record["user"])]))
            return False
        database = record["database"] or "master"
        if database.casefold() != "master" and database.casefold() not in (d.casefold() for d in databases):
            self.send(self.messages([Message(4060, 11, 'Cannot open database "%s" requested by the login. The login failed.' % database)]))
            return False
        self.user = record["user"]
        loginack = (bytes([1]) + struct.pack(">I", self.version) + b_varchar("Stand-in SQL Server")
                    + bytes([16, 0, 0x10, 0x00]))
        collation = bytes([7, len(COLLATION)]) + COLLATION + bytes([0])
        out = (self.envchange(1, database, "")
               + self.message_token(Message(5701, 0, "Changed database context to '%s'." % database, 2))
               + bytes([0xE3]) + struct.pack("<H", len(collation)) + collation
               + self.envchange(2, "us_english", "")
               + self.message_token(Message(5703, 0, "Changed language setting to us_english.", 1))
               + bytes([0xAD]) + struct.pack("<H", len(loginack)) + loginack
               + self.envchange(4, str(self.packet_size), "4096")
               + self.done(DONE_FINAL))
        self.send(out)
        return True

    def batch(self, p):
        if self.version >= TDS72:
            total = struct.unpack_from("<I", p, 0)[0]
            p = p[total:]
        text = utf16(p)
        entry = {"user": self.user, "text": text, "answered": False}
        with self.state.lock:
            self.state.statements.append(entry)
        self.answer(text, entry)
        with self.state.lock:
            entry["answered"] = True

    def answer(self, text, entry):
        normal = " ".join(text.split()).rstrip(";").strip()
        if normal.lower() == CATALOGUE_QUERY:
            fault = self.state.take_fault_if("hang")
            if fault and self.hang(entry, float(fault.get("seconds", 30))):
                return
            failing = self.state.take_fault_if("catalogue_error")
            if failing:
                entry["fault"] = "catalogue_error"
            self.send(self.catalogue(failing is not None))
        elif re.match(r"\s*backup\b", text, re.IGNORECASE):
            self.backup(text, entry)
        elif re.match(r"\s*set\b", text, re.IGNORECASE):
            self.send(self.done(DONE_FINAL))
        elif re.match(r"\s*exec(ute)?\b", text, re.IGNORECASE):
            self.procedure(text, entry)
        else:
            first = text.split()[0] if text.split() else ""
            self.send(self.messages([Message(102, 15, "Incorrect syntax near '%s'." % first)]))

    def catalogue(self, failing=False):
        with self.state.lock:
            names = sorted(self.state.databases, key=lambda n: (n.casefold(), n))
        meta = (bytes([0x81]) + struct.pack("<H", 1) + struct.pack("<IH", 0, 0x0001)
                + bytes([0xE7]) + struct.pack("<H", 256) + COLLATION + b_varchar("name"))
        rows = b""
        for name in names:
            data = name.encode("utf-16-le", "surrogatepass")
            rows += bytes([0xD1]) + struct.pack("<H", len(data)) + data
        if failing:
            return (self.message_token(Message(50001, 0, "The database list is read in part."))
                    + meta + rows
                    + self.message_token(Message(50002, 16, "The database list could not be read to the end."))
                    + self.done(DONE_ERROR | DONE_COUNT, len(names), 0xC1))
        return meta + rows + self.done(DONE_COUNT, len(names), 0xC1)

    def backup(self, text, entry):
        try:
            parsed = parse_backup(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        entry["database"] = parsed["database"]
        entry["disks"] = parsed["disks"]
        entry["options"] = {k: v for k, v in parsed["options"].items()}
        state = self.state
        fault = state.take_fault()
        entry["fault"] = fault["fault"] if fault else None
        terminate = Message(3013, 16, "BACKUP DATABASE is terminating abnormally.")

        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return

        with state.lock:
            known = {d.casefold(): d for d in list(SYSTEM_DATABASES) + state.databases}
            drives = dict(state.drives)
        database = known.get(parsed["database"].casefold())
        if database is None:
            self.send(self.messages([
                Message(911, 16, "Database '%s' does not exist. Make sure that the name is entered correctly." % parsed["database"]),
                terminate]))
            return

        device = parsed["disks"][0]
        target = map_path(device, drives)
        if fault and fault["fault"] == "denied":
            target, os_error = None, "5(Access is denied.)"
        else:
            os_error = "3(The system cannot find the path specified.)"
            folder = os.path.dirname(target) if target is not None else None
            if target is not None and os.path.isdir(target):
                target, os_error = None, "5(Access is denied.)"
            elif target is not None and not os.path.isdir(folder):
                target = None
            elif target is not None and not os.stat(folder).st_mode & 0o222:
                # A folder nobody may write to refuses the server's account too
                # (the stand-in may well run as root, which could write anyway).
                target, os_error = None, "5(Access is denied.)"
        handle = None
        # NOINIT appends the new backup set to an existing file; a failed
        # backup leaves the sets already in it as they were.
        kept = 0
        if target is not None:
            try:
                mode = "w" if parsed["options"].get("INIT") or parsed["options"].get("FORMAT") else "a"
                kept = os.path.getsize(target) if mode == "a" and os.path.isfile(target) else 0
                handle = open(target, mode, encoding="utf-8")
            except OSError:
                os_error = "5(Access is denied.)"
        if handle is None:
            self.send(self.messages([
                Message(3201, 16, "Cannot open backup device '%s'. Operating system error %s." % (device, os_error)),
                terminate]))
            return
        entry["file"] = target

        stats = parsed["options"].get("STATS")
        fail_at = int(fault.get("after", 50)) if fault and fault["fault"] in ("disk_full", "drop") else None
        out = b""
        percent = 0
        steps = list(range(stats, 101, stats)) if stats and stats > 0 else []
        for percent in steps:
            if fail_at is not None and percent > fail_at:
                break
            out += self.message_token(Message(3211, 0, "%d percent processed." % percent)) + self.done(DONE_MORE)
        if fault and fault["fault"] in ("slow", "stall"):
            # The progress goes out while the backup runs, each flush its own
            # packet, so that the client sees long silences between packets:
            # (silence before, messages) for each flush.
            progress = [self.message_token(Message(3211, 0, "%d percent processed." % p)) + self.done(DONE_MORE)
                        for p in steps]
            if fault["fault"] == "slow":
                packets = max(1, min(int(fault.get("packets", len(progress))), len(progress)))
                interval = float(fault.get("seconds", 6)) / packets
                flushes = [(interval, b"".join(progress[n * len(progress) // packets:(n + 1) * len(progress) // packets]))
                           for n in range(packets)]
            else:
                early = len([p for p in steps if p <= int(fault.get("after", 50))])
                flushes = [(0, message) for message in progress[:early]]
                flushes.append((float(fault.get("seconds", 30)), b"".join(progress[early:])))
            for silence, chunk in flushes:
                if self.wait_for_attention(silence):
                    handle.close()
                    if kept:
                        os.truncate(target, kept)
                    else:
                        os.remove(target)
                    entry["file"] = ""
                    entry["cancelled"] = True
                    self.send(self.done(DONE_ATTN))
                    return
                if chunk:
                    self.send(chunk, last=False)
            out = b""
        with handle:
            handle.write("backup of database [%s] set '%s' up to %d percent\n"
                         % (database, parsed["options"].get("NAME", ""), percent if fail_at is not None else 100))
        if fail_at is not None and fault["fault"] == "drop":
            # A partial reply without end of message, then the line goes dead.
            self.send(out, last=False)
            self.sock.shutdown(socket.SHUT_RDWR)
            raise ConnectionError("dropped on purpose")
        if fail_at is not None:
            if kept:
                os.truncate(target, kept)
            else:
                os.remove(target)
            out += self.messages([
                Message(3202, 16, "Write on \"%s\" failed: 112(There is not enough space on the disk.)" % device),
                terminate])
            self.send(out)
            return
        out += self.messages([
            Message(4035, 0, "Processed 328 pages for database '%s', file '%s' on file 1." % (database, database)),
            Message(4035, 0, "Processed 2 pages for database '%s', file '%s_log' on file 1." % (database, database)),
            Message(3014, 0, "BACKUP DATABASE successfully processed 330 pages in 0.012 seconds (214.518 MB/sec)."),
        ])
        self.send(out)

    # -- extended stored procedures ------------------------------------------
    def procedure(self, text, entry):
        try:
            name, arguments = parse_exec(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        entry["procedure"] = name
        entry["arguments"] = arguments
        if name not in ("xp_create_subdir", "xp_delete_file"):
            self.send(self.messages([Message(2812, 16, "Could not find stored procedure '%s'." % name)]))
            return
        with self.state.lock:
            allowed = self.user not in self.state.non_sysadmins
            drives = dict(self.state.drives)
        if not allowed:
            self.send(self.messages([Message(
                229, 14, "The EXECUTE permission was denied on the object '%s', database 'mssqlsystemresource', "
                "schema 'sys'." % name)]))
            return
        if name == "xp_create_subdir":
            if len(arguments) != 1 or not isinstance(arguments[0], str):
                error = 87
            else:
                error, entry["file"] = create_subdir(arguments[0], drives)
            failure = Message(22048, 16, "xp_create_subdir() returned error %d, '%s'" % (error, OS_ERRORS.get(error, "")))
        else:
            if len(arguments) != 2 or isinstance(arguments[0], str) or not isinstance(arguments[1], str):
                error = 87
            else:
                error, entry["file"] = delete_file(arguments[1], drives)
            failure = Message(22049, 16, "xp_delete_file() returned error %d, '%s'" % (error, OS_ERRORS.get(error, "")))
        # As the server answers an EXEC in a batch: the procedure's messages, its
        # return status (0: success), then DONEPROC.
        out = self.message_token(failure) if error else b""
        out += bytes([TOKEN_RETURNSTATUS]) + struct.pack("<i", 1 if error else 0)
        out += struct.pack("<BHHQ", TOKEN_DONEPROC, DONE_ERROR if error else DONE_FINAL, 0xE0, 0)
        self.send(out)

    def hang(self, entry, seconds):
        """Silent for up to seconds; True, after acknowledging it, if the client cancelled meanwhile."""
        entry["fault"] = "hang"
        if self.wait_for_attention(seconds):
            entry["cancelled"] = True
            self.send(self.done(DONE_ATTN))
            return True
        return False

    def wait_for_attention(self, seconds):
        """Stays silent for up to seconds; True if the client cancelled meanwhile."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if not self.pending:
                ready, _, _ = select.select([self.sock], [], [], left)
                if not ready:
                    return False
            ptype, _ = self.read_message()
            if ptype == PT_ATTENTION:
                return True


def map_path(device, drives):
    """T:\\dir\\x.bak -> <drive T's directory>/dir/x.bak; None when the drive is not mapped."""
    m = re.match(r"^([A-Za-z]):[\\/](.*)$", device, re.DOTALL)
    if not m or m.group(1).upper() not in drives:
        return None
    parts = [part for part in re.split(r"[\\/]", m.group(2)) if part]
    if not parts or any(part in (".", "..") for part in parts):
        return None
    return os.path.join(drives[m.group(1).upper()], *parts)


OS_ERRORS = {
    3: "The system cannot find the path specified.",
    5: "Access is denied.",
    87: "The parameter is incorrect.",
}


def parse_exec(text):
    """EXEC [db.][schema.]name arg, ... -> (name, [str or float]); raises ParseError."""
    t = Tokens(tokenize(text))
    tok = t.take()
    if tok[0] != "word" or tok[1].upper() not in ("EXEC", "EXECUTE"):
        raise syntax_error(tok[2])
    parts = [""]
    while True:
        tok = t.peek()
        if tok is not None and tok[0] in ("word", "ident") and parts[-1] == "":
            parts[-1] = t.take()[1]
        elif tok is not None and tok[0] == "punct" and tok[1] == "." and len(parts) < 3:
            t.take()
            parts.append("")
        else:
            break
    if parts[-1] == "" or (len(parts) == 3 and parts[0].casefold() not in ("", "master")):
        raise syntax_error(tok[2] if tok else text)
    arguments = []
    while t.peek() is not None and not t.at_punct(";"):
        tok = t.take()
        if tok[0] == "string":
            arguments.append(tok[1])
        elif tok[0] == "number":
            arguments.append(float(tok[1]))
        else:
            raise syntax_error(tok[2])
        if t.at_punct(","):
            t.take()
        elif t.peek() is not None and not t.at_punct(";"):
            raise syntax_error(t.peek()[2])
    if t.at_punct(";"):
        t.take()
    if t.peek() is not None:
        raise syntax_error(t.peek()[2])
    return parts[-1].lower(), arguments


def writable(folder):
    # The stand-in may well run as root, which could write anywhere: a folder
    # with no write permission bits refuses the server's account.
    return bool(os.stat(folder).st_mode & 0o222)


def create_subdir(path, drives):
    """Creates the whole path as xp_create_subdir does: (Windows error, created path or "")."""
    m = re.match(r"^([A-Za-z]):[\\/](.*)$", path, re.DOTALL)
    if not m or m.group(1).upper() not in drives or not os.path.isdir(drives[m.group(1).upper()]):
        return 3, ""
    parts = [part for part in re.split(r"[\\/]", m.group(2)) if part]
    if any(part in (".", "..") for part in parts):
        return 3, ""
    current = drives[m.group(1).upper()]
    for part in parts:
        parent, current = current, os.path.join(current, part)
        if os.path.isdir(current):
            continue
        if os.path.exists(current):
            return 3, ""  # a file where a folder must be
        if not writable(parent):
            return 5, ""
        try:
            os.mkdir(current)
        except PermissionError:
            return 5, ""
        except OSError:
            return 3, ""
    return 0, current


def delete_file(path, drives):
    """Deletes the file if it is there, as xp_delete_file does: (Windows error, deleted path or "")."""
    target = map_path(path, drives)
    if target is None or not os.path.isfile(target):
        return 0, ""
    if not writable(os.path.dirname(target)):
        return 5, ""
    try:
        os.remove(target)
    except PermissionError:
        return 5, ""
    except OSError:
        return 3, ""
    return 0, target


class Browser:
    """The SQL Server Browser's answers for this server's instances, on UDP."""

    def __init__(self, state, port, tds_port):
        self.state, self.port, self.tds_port = state, port, tds_port
        self.sock = None
        self.thread = None
        self.stop = threading.Event()
        self.lock = threading.Lock()

    def open(self):
        """None when listening, else why not (the port taken, or privileged)."""
        with self.lock:
            if self.sock is not None:
                return None
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                sock.bind(("127.0.0.1", self.port))
            except OSError as e:
                sock.close()
                return "the Browser cannot listen on UDP 127.0.0.1:%d: %s" % (self.port, e)
            # Polled, so that closing is prompt and the port is free when close() returns.
            sock.settimeout(0.05)
            self.sock = sock
            self.stop.clear()
            self.thread = threading.Thread(target=self.serve, args=(sock,), daemon=True)
            self.thread.start()
            return None

    def close(self):
        with self.lock:
            if self.sock is None:
                return None
            self.stop.set()
            self.thread.join()
            self.sock.close()
            self.sock = self.thread = None
            return None

    def response(self, names):
        data = "".join("ServerName;%s;InstanceName;%s;IsClustered;No;Version;16.0.1000.6;tcp;%d;;"
                       % (self.state.server_name, name, self.tds_port()) for name in names)
        raw = data.encode("utf-8")
        return bytes([0x05]) + struct.pack("<H", len(raw)) + raw

    def serve(self, sock):
        while not self.stop.is_set():
            try:
                data, peer = sock.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                continue
            kind = data[0]
            if kind == 0x04:  # CLNT_UCAST_INST: one instance, null-terminated
                asked = data[1:].split(b"\0", 1)[0].decode("utf-8", "replace")
                listed = self.state.instance_listed(asked)
                with self.state.lock:
                    self.state.browser_requests.append({"instance": asked, "answered": listed is not None})
                if listed is not None:
                    sock.sendto(self.response([listed]), peer)
            elif kind in (0x02, 0x03):  # CLNT_UCAST_EX, CLNT_BCAST_EX: every instance
                with self.state.lock:
                    names = list(self.state.instances)
                if names:
                    sock.sendto(self.response(names), peer)


def prelogin_instance(payload):
    """The instance name a client's PRELOGIN carries (INSTOPT, token 2), "" for a bare 0x00, None if absent."""
    pos = 0
    while pos + 5 <= len(payload) and payload[pos] != 0xFF:
        token, offset, length = struct.unpack_from(">BHH", payload, pos)
        if token == 0x02:
            data = payload[offset:offset + length]
            return data.split(b"\0", 1)[0].decode("utf-8", "replace")
        pos += 5
    return None


# ---------------------------------------------------------------------------

class Server:
    def __init__(self, args):
        self.state = State(args)
        self.tds = None
        self.tds_port = args.port
        self.listen_lock = threading.Lock()
        self.open_tds()
        self.browser = Browser(self.state, args.browser_port, lambda: self.tds_port)
        self.browser_wanted = True
        if self.state.instances:
            problem = self.browser.open()
            if problem:
                print(problem, file=sys.stderr, flush=True)
        self.control = socket.create_server(("127.0.0.1", 0))

    def open_tds(self):
        with self.listen_lock:
            if self.tds is None:
                self.tds = socket.create_server(("127.0.0.1", self.tds_port), reuse_port=False)
                self.tds_port = self.tds.getsockname()[1]
                threading.Thread(target=self.accept_tds, args=(self.tds,), daemon=True).start()

    def close_tds(self):
        with self.listen_lock:
            if self.tds is not None:
                try:
                    self.tds.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                self.tds.close()
                self.tds = None

    def accept_tds(self, listener):
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:
                return
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=TdsConnection(sock, self.state).run, daemon=True).start()

    def serve_control(self):
        while True:
            sock, _ = self.control.accept()
            threading.Thread(target=self.control_client, args=(sock,), daemon=True).start()

    def control_client(self, sock):
        with sock, sock.makefile("rwb") as stream:
            for line in stream:
                try:
                    answer = self.command(json.loads(line.decode("utf-8")))
                except Exception as e:  # the test sees the reason
                    answer = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
                stream.write(json.dumps(answer, ensure_ascii=False).encode("utf-8") + b"\n")
                stream.flush()

    def command(self, req):
        state = self.state
        cmd = req.get("cmd")
        if cmd == "ping":
            return {"ok": True, "port": self.tds_port}
        if cmd == "reset":
            state.reset()
            self.open_tds()
            self.browser_wanted = True
            # The Browser's port is the machine's: held only while instances are listed.
            problem = self.browser.open() if state.instances else self.browser.close()
            return {"ok": True, "browser_error": problem or ""}
        if cmd == "configure":
            with state.lock:
                if "users" in req:
                    state.users = dict(req["users"])
                if "databases" in req:
                    state.databases = list(req["databases"])
                if "drives" in req:
                    state.drives = {k.upper(): v for k, v in req["drives"].items()}
                if "non_sysadmins" in req:
                    state.non_sysadmins = set(req["non_sysadmins"])
            return {"ok": True}
        if cmd == "instances":
            with state.lock:
                state.instances = list(req.get("names", []))
                listed = bool(state.instances)
            if not listed:
                self.browser.close()
                return {"ok": True, "browser_port": self.browser.port}
            problem = self.browser.open() if self.browser_wanted else None
            if problem:
                return {"ok": False, "error": problem}
            return {"ok": True, "browser_port": self.browser.port}
        if cmd == "browser":
            self.browser_wanted = bool(req.get("on", True))
            if not self.browser_wanted:
                self.browser.close()
                return {"ok": True}
            with state.lock:
                listed = bool(state.instances)
            problem = self.browser.open() if listed else None
            if problem:
                return {"ok": False, "error": problem}
            return {"ok": True}
        if cmd == "arm":
            if req.get("fault") not in ("disk_full", "drop", "hang", "denied", "slow", "stall", "catalogue_error"):
                return {"ok": False, "error": "unknown fault %r" % req.get("fault")}
            with state.lock:
                state.fault = dict(req)
            return {"ok": True}
        if cmd == "record":
            with state.lock:
                # Copies (one step each under the interpreter's lock): a statement
                # under way may still add to its entry while the answer is written.
                return {"ok": True, "logins": [dict(l) for l in state.logins],
                        "statements": [dict(e) for e in state.statements],
                        "browser": list(state.browser_requests)}
        if cmd == "listen":
            if req.get("on", True):
                self.open_tds()
            else:
                self.close_tds()
            return {"ok": True, "port": self.tds_port}
        return {"ok": False, "error": "unknown command %r" % cmd}


def write_atomically(path, text):
    temp = path + ".tmp"
    with open(temp, "w") as f:
        f.write(text)
    os.replace(temp, path)


def serve(args):
    server = Server(args)
    os.makedirs(args.dir, exist_ok=True)
    write_atomically(os.path.join(args.dir, "pid"), "%d\n" % os.getpid())
    write_atomically(os.path.join(args.dir, "control-port"), "%d\n" % server.control.getsockname()[1])
    # Written last: its presence means the server is ready.
    write_atomically(os.path.join(args.dir, "port"), "%d\n" % server.tds_port)
    # SIGTERM keeps its default action: the process ends at once, whichever
    # thread the signal lands on.
    server.serve_control()


def start(args):
    os.makedirs(args.dir, exist_ok=True)
    stop(args, quiet=True)
    for name in ("port", "control-port", "pid"):
        try:
            os.remove(os.path.join(args.dir, name))
        except FileNotFoundError:
            pass
    if os.fork() == 0:
        # Detached, with no inherited pipes: ctest waits for its children's output to close.
        os.setsid()
        log = os.open(os.path.join(args.dir, "server.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        try:
            serve(args)
        finally:
            os._exit(1)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if os.path.exists(os.path.join(args.dir, "port")):
            with open(os.path.join(args.dir, "port")) as f:
                print("stand-in listening on port", f.read().strip())
            return 0
        time.sleep(0.05)
    print("stand-in did not start; see", os.path.join(args.dir, "server.log"), file=sys.stderr)
    return 1


def running(pid):
    """False once the process has ended, even if nobody has reaped it yet."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop(args, quiet=False):
    try:
        with open(os.path.join(args.dir, "pid")) as f:
            pid = int(f.read())
    except (FileNotFoundError, ValueError):
        return 0
    # Only ever our own server: a pid file left over from a crash may name another process by now.
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            ours = os.path.basename(__file__).encode() in f.read()
    except OSError:
        ours = False
    if ours:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    for _ in range(100):
        if not running(pid):
            break
        time.sleep(0.02)
    for name in ("port", "control-port", "pid"):
        try:
            os.remove(os.path.join(args.dir, name))
        except FileNotFoundError:
            pass
    if not quiet:
        print("stand-in stopped")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("action", choices=["start", "stop", "serve"])
    parser.add_argument("--dir", required=True, action="append", help="where the port and pid files go")
    parser.add_argument("--port", type=int, default=0, help="TDS port (0: any free one)")
    parser.add_argument("--user", action="append", default=[], metavar="NAME=PASSWORD")
    parser.add_argument("--database", action="append", default=[])
    parser.add_argument("--drive", action="append", default=[], metavar="LETTER=DIRECTORY")
    parser.add_argument("--server-name", default=None)
    parser.add_argument("--instance", action="append", default=[],
                        help="a named instance this server is (answered by the Browser)")
    parser.add_argument("--browser-port", type=int, default=1434,
                        help="the Browser's UDP port (FreeTDS always asks 1434)")
    args = parser.parse_args()
    dirs = args.dir
    if args.action == "serve":
        if len(dirs) != 1:
            parser.error("serve takes one --dir")
        args.dir = dirs[0]
        serve(args)
        return 0
    status = 0
    for d in dirs:
        one = argparse.Namespace(**vars(args))
        one.dir = d
        status = (start(one) if args.action == "start" else stop(one)) or status
    return status


if __name__ == "__main__":
    sys.exit(main())
