#!/usr/bin/env python3
"""A stand-in database server for the integration tests (never shipped).

It speaks TDS 7.x without encryption on a loopback port and answers exactly what
Bakwyn sends: a login, the catalogue query, BACKUP DATABASE and BACKUP LOG, what
proves a backup: RESTORE HEADERONLY / FILELISTONLY / VERIFYONLY, RESTORE
DATABASE with MOVE, DBCC CHECKDB, DROP DATABASE, and what the health checks
read: SELECTs of sys.databases, sys.master_files, sys.allocation_units and
SERVERPROPERTY, DBCC SQLPERF(LOGSPACE) and ALTER DATABASE ... SET RECOVERY,
and what a restore over a database in use needs: ALTER DATABASE ... SET
SINGLE_USER | MULTI_USER against the other connections that use it. Everything
it receives is recorded so that tests can assert what went over the
wire.

Each database has a recovery model (SIMPLE unless configured) and a log, as the
server keeps them: a database in FULL or BULK_LOGGED behaves as SIMPLE until its
first full backup; from then on its log waits for a log backup
(log_reuse_wait_desc LOG_BACKUP) until BACKUP LOG takes it, which empties the
log (Log Space Used (%) drops to LOG_USED_TRUNCATED). BACKUP LOG is refused in
SIMPLE (4208) and before that first full backup (4214). Switching to SIMPLE
empties the log at once (the server does it at its next checkpoint) and breaks
the log chain; switching back needs a full backup again.

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
  {"cmd": "arm", "fault": F, "on": S, ...} F applies to the next statement of kind S only;
                                           without "on": to the next BACKUP, DATABASE
                                           or LOG ("hang" also to a catalogue query,
                                           "corrupt" to the next DBCC CHECKDB). Faults
                                           wait in the order armed; a statement takes
                                           the first that applies to it. S is one of
                                           "backup" (BACKUP DATABASE), "backup_log"
                                           (BACKUP LOG; both take disk_full, drop,
                                           denied, slow, stall, hang),
                                           "catalogue", "restore" (RESTORE DATABASE:
                                           disk_full, drop, slow, stall, hang), "verify"
                                           (RESTORE VERIFYONLY: slow, stall, hang, drop),
                                           "headeronly", "filelistonly", "select",
                                           "drop_database" (hang), "checkdb" (corrupt,
                                           hang, slow), and the health checks' reads
                                           (denied, hidden, hang): "recovery" (a SELECT
                                           of sys.databases), "files" (of
                                           sys.master_files), "used" (of
                                           sys.allocation_units), "logspace" (DBCC
                                           SQLPERF: denied, hang only), "edition" (a
                                           SELECT of SERVERPROPERTY: hang only, as the
                                           server checks no permission there). A
                                           SELECT also takes a fault armed on "select".
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
        "corrupt"    DBCC CHECKDB reports corruption: 8939, 8928, 8989 (class 16)
                     and 8958
        "denied"     on a health check's read: refused as for a login without the
                     rights (an explicit DENY): 229 "The SELECT permission was
                     denied on the object 'master_files', database
                     'mssqlsystemresource', schema 'sys'." (the view's name), or
                     for DBCC SQLPERF 297 "The user does not have permission to
                     perform this action."
        "hidden"     on a catalogue view: the rows are filtered away, as the server
                     does for a login that may not see them (no error: no row of
                     sys.databases or sys.master_files, SUM(...) NULL)
      On a RESTORE DATABASE, "disk_full" is 3257 + 3013 after "after" percent
      and "drop" cuts the line there; either, and a cancel, leaves the database
      in the catalogue RESTORING with its files, as the server does.
  {"cmd": "sizes", "database": D, "data": N, "log": N}
                                           the sizes in bytes of D's data and log file,
                                           as its backups from now on record them
                                           (FILELISTONLY's Size; default 16 and 8 MiB)
  {"cmd": "database", "name": D, "recovery": "FULL", "full_backup": true,
   "log_size_mb": 512.0, "log_used_pct": 87.5, "used_pages": 900,
   "files": [{"type": "ROWS", "path": "D:\\data\\shop.mdf", "pages": 1280,
              "logical": "shop"}, {"type": "LOG", ...}]}
                                           what the health checks read of D (listed
                                           if it was not); each key given replaces
                                           that part. "recovery": SIMPLE, FULL or
                                           BULK_LOGGED, the log chain not started;
                                           "full_backup": true starts it as a full
                                           backup would (the log then waits for a
                                           log backup). "files": sys.master_files'
                                           rows (size in 8-KB pages; "logical"
                                           defaults to the file name without its
                                           extension); nothing is written on disk.
                                           Unconfigured: SIMPLE, the log as big as
                                           the log file and LOG_USED_TRUNCATED
                                           percent used, the files invented for a
                                           database only named (or restored,
                                           created), used pages 1/40 of the data
                                           files.
  {"cmd": "edition", "engine_edition": 4, "product_version": "16.0.1000.6",
   "edition": "Express Edition (64-bit)"}  what SERVERPROPERTY tells (the defaults
                                           shown; "edition" follows engine_edition
                                           unless given)
  {"cmd": "create_database", "name": D, "folder": "T:\\dir", "state": "ONLINE"|"RESTORING"}
                                           a database someone else made, its two files
                                           written into that folder of a drive
  {"cmd": "damage", "file": "T:\\x.bak", "set": n, "how": "bytes"|"cut"}
                                           changes some bytes in the middle of backup
                                           set n (0: the last) of that file, or cuts
                                           the file short there
  {"cmd": "connections", "database": D, "count": n}
                                           n other connections use D from now on (none
                                           unless set; at most one in SINGLE_USER):
                                           RESTORE over D fails with 3101 + 3013 and
                                           DROP with 3702 while any do; SET
                                           SINGLE_USER waits for them to leave, fails
                                           (NO_WAIT: 5070) or ends them (ROLLBACK
                                           IMMEDIATE or AFTER n: 5060); a SINGLE_USER
                                           database one of them holds refuses any
                                           change but a ROLLBACK (5064)
  {"cmd": "content", "database": D, "text": T}
                                           T stands for D's data: its backups record
                                           it and a restore of one brings it back
  {"cmd": "data_path", "path": "T:\\data\\"|null}
                                           SERVERPROPERTY('InstanceDefaultDataPath')
                                           (and ...LogPath; null: NULL), where the
                                           files of a database only named are;
                                           DEFAULT_DATA_FOLDER unless set
  {"cmd": "catalog"}                       {"databases": [{"name", "state", "user_access",
                                            "connections", "content", "files":
                                            [{"logical", "physical", "local", "type",
                                            "size"}]}]}: the user databases
  {"cmd": "record"}                        {"logins": [...], "statements": [...],
                                            "browser": [{"instance", "answered"}]}
                                           a statement's "answered" is true once its
                                           whole answer has gone out (a cancelled one's
                                           acknowledgement included); "database" is
                                           the one it names, "user_access" that
                                           database's mode when the statement came
                                           ("" for one the server does not have),
                                           "ended" how many connections an ALTER
                                           DATABASE's ROLLBACK ended
  {"cmd": "listen", "on": false|true}      closes or reopens the TDS port
Each answer is one JSON line with "ok".

Statements it understands: the catalogue query, BACKUP DATABASE and BACKUP LOG
(the system databases master and model always exist, in SIMPLE), SET, and
  EXEC master.dbo.xp_create_subdir N'T:\\a\\b'     creates the whole path
  EXEC master.dbo.xp_delete_file 0, N'T:\\a\\x.bak' deletes that file if it is there
  RESTORE HEADERONLY | FILELISTONLY | VERIFYONLY FROM DISK = N'...' [WITH FILE = n, CHECKSUM, STATS ...]
  RESTORE DATABASE [d] FROM DISK = N'...' WITH FILE = n, MOVE N'l' TO N'p', ... [, REPLACE, NORECOVERY, STATS]
  DBCC CHECKDB ([d]) [WITH NO_INFOMSGS, ALL_ERRORMSGS, ...]
  DROP DATABASE [IF EXISTS] [d] [, ...]
  SELECT cols|* FROM [master.]sys.databases|sys.master_files
         [WHERE col = literal|number|DB_ID(N'd') [AND ...]] [ORDER BY col [DESC]]
  SELECT SUM(col) [AS alias] FROM [[d].]sys.allocation_units   (the login's database
         without [d]; one IN_ROW_DATA unit per database holding its used pages)
  SELECT SERVERPROPERTY('EngineEdition') [AS alias], ...       (sql_variant columns; each may be
         CAST(... AS int|bigint|smallint|tinyint|sysname|nvarchar(n)), which gives that type)
  DBCC SQLPERF(LOGSPACE)                   one row per database, then 2528
  ALTER DATABASE [d] SET RECOVERY SIMPLE|FULL|BULK_LOGGED | SINGLE_USER | MULTI_USER
                     [WITH NO_WAIT | ROLLBACK IMMEDIATE | ROLLBACK AFTER n [SECONDS]]
A backup records its database's user access (HEADERONLY's IsSingleUser), and a
restore brings the database back in that mode, as the server does: SINGLE_USER
set before a restore does not outlive it unless the backup was made so.
A database that a test only names has its files on C:, which no test maps, so a
restore of its backup needs MOVE for every file (5133, 3156, 3119 without).
Backup files hold one block per backup set with a CRC of its own (see
encode_set): a file changed after it was written is "damaged" (3183 for a set
with backup checksums, else 3189), one cut short or not a backup at all is 3241.

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
import shutil
import signal
import socket
import struct
import sys
import threading
import time
import uuid
import zlib
from datetime import datetime, timedelta

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
# Where a database that a test only names keeps its files: on the server's own
# disk, which no test maps, so a restore of its backup needs MOVE.
DEFAULT_DATA_FOLDER = "C:\\Program Files\\Microsoft SQL Server\\MSSQL16.MSSQLSERVER\\MSSQL\\DATA\\"
DEFAULT_SIZES = (16 * 1024 * 1024, 8 * 1024 * 1024)  # data, log: a small office database
RECOVERY_MODELS = {"FULL": 1, "BULK_LOGGED": 2, "SIMPLE": 3}  # sys.databases.recovery_model
# What is left in use of a log once it is truncated (a log backup, or SIMPLE's
# checkpoint): its active part, a few percent. Exact in a real (float4), so
# that it reads back as written.
LOG_USED_TRUNCATED = 2.5
DEFAULT_EDITION = {"engine_edition": 4, "product_version": "16.0.1000.6"}
EDITION_NAMES = {2: "Standard Edition (64-bit)", 3: "Enterprise Edition (64-bit)", 4: "Express Edition (64-bit)"}

# The statements each fault applies to when it is armed without "on" ("hidden"
# only with it).
FAULT_TARGETS = {
    "disk_full": ("backup", "backup_log"), "drop": ("backup", "backup_log"), "denied": ("backup", "backup_log"),
    "slow": ("backup", "backup_log"), "stall": ("backup", "backup_log"),
    "hang": ("backup", "backup_log", "catalogue"), "catalogue_error": ("catalogue",), "corrupt": ("checkdb",),
    "hidden": (),
}
# What "on" may name, and the faults that make sense there.
FAULT_KINDS_ON = {
    "backup": ("disk_full", "drop", "denied", "slow", "stall", "hang"),
    "backup_log": ("disk_full", "drop", "denied", "slow", "stall", "hang"),
    # The health checks' reads. SERVERPROPERTY needs no permission on a real
    # server, so it can only go unanswered.
    "recovery": ("denied", "hidden", "hang"), "files": ("denied", "hidden", "hang"),
    "used": ("denied", "hidden", "hang"), "logspace": ("denied", "hang"), "edition": ("hang",),
    "catalogue": ("hang", "catalogue_error"),
    "restore": ("disk_full", "drop", "slow", "stall", "hang"),
    "verify": ("slow", "stall", "hang", "drop"),
    "headeronly": ("hang",), "filelistonly": ("hang",), "select": ("hang",), "drop_database": ("hang",),
    "checkdb": ("corrupt", "hang", "slow"),
}

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
    """Returns dict(kind DATABASE|LOG, database, disks, options) or raises ParseError."""
    t = Tokens(tokenize(text))
    t.keyword("BACKUP")
    tok = t.take()
    kind = tok[1].upper() if tok[0] == "word" else None
    if kind not in ("DATABASE", "LOG"):
        raise syntax_error(tok[2])
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
    return {"kind": kind, "database": database, "disks": disks, "options": options}


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
            self.faults = []
            self.logins = []
            self.statements = []
            self.browser_requests = []
            # Per database (casefolded name): the files of one that was restored
            # or created here, and its state; a configured one has default files.
            self.details = {}
            self.sizes = {}  # casefolded name -> (data bytes, log bytes)
            # Per database (casefolded name), what a restore over it meets: its
            # user access mode (MULTI_USER unless set), how many other
            # connections use it (set by the tests; none unless set), and the
            # text that stands for its data (backed up and restored with it).
            self.access = {}
            self.users_of = {}
            self.contents = {}
            self.data_path = DEFAULT_DATA_FOLDER  # SERVERPROPERTY('InstanceDefaultDataPath'); None: NULL
            self.ids = {"master": 1, "tempdb": 2, "model": 3, "msdb": 4}
            self.lsn = 37000000012800001
            self.logs = {}  # casefolded name -> its recovery model and log (see log_of)
            self.edition = dict(DEFAULT_EDITION)

    def instance_listed(self, name):
        """The listed instance of that name (instance names ignore case), else None."""
        with self.lock:
            for listed in self.instances:
                if listed.casefold() == name.casefold():
                    return listed
        return None

    def take_fault(self, *kinds):
        """The first armed fault that applies to a statement of any of these kinds (taken), else None."""
        with self.lock:
            for n, fault in enumerate(self.faults):
                on = fault.get("on")
                if on in kinds or (on is None and any(k in FAULT_TARGETS[fault["fault"]] for k in kinds)):
                    del self.faults[n]
                    return fault
        return None

    # -- the catalogue (callers hold the lock) --------------------------------
    def database_name(self, name):
        """The database of that name as listed (names ignore case), else None."""
        for listed in list(SYSTEM_DATABASES) + self.databases:
            if listed.casefold() == name.casefold():
                return listed
        return None

    def all_databases(self):
        """master and model, then the user databases (a test may list master among them too)."""
        return list(SYSTEM_DATABASES) + [d for d in self.databases if d.casefold() not in SYSTEM_DATABASES]

    def database_id(self, name):
        key = name.casefold()
        if key not in self.ids:
            self.ids[key] = max(self.ids.values()) + 1
        return self.ids[key]

    def database_state(self, name):
        return self.details.get(name.casefold(), {}).get("state", "ONLINE")

    def database_files(self, name):
        """[{logical, physical, type, group, size}] of a listed database."""
        detail = self.details.get(name.casefold())
        if detail is not None:
            return [dict(f) for f in detail["files"]]
        data, log = self.sizes.get(name.casefold(), DEFAULT_SIZES)
        # In the instance's data folder, as the server creates a database;
        # an instance that names none still keeps them somewhere.
        folder = self.data_path or DEFAULT_DATA_FOLDER
        return [
            {"logical": name, "physical": folder + name + ".mdf", "type": "D", "group": "PRIMARY", "size": data},
            {"logical": name + "_log", "physical": folder + name + "_log.ldf", "type": "L", "group": None,
             "size": log},
        ]

    def add_database(self, name, files, state):
        if self.database_name(name) is None:
            self.databases.append(name)
        self.details[name.casefold()] = {"files": files, "state": state}

    def remove_database(self, name):
        self.databases = [d for d in self.databases if d.casefold() != name.casefold()]
        self.details.pop(name.casefold(), None)
        self.logs.pop(name.casefold(), None)
        self.access.pop(name.casefold(), None)
        self.users_of.pop(name.casefold(), None)
        self.contents.pop(name.casefold(), None)

    def user_access(self, name):
        return self.access.get(name.casefold(), "MULTI_USER")

    def other_users(self, name):
        return self.users_of.get(name.casefold(), 0)

    # -- recovery model and log (callers hold the lock) ---------------------------
    def log_of(self, name):
        """The recovery model and log of a listed database.

        chain: a full backup was made since the database left SIMPLE, so its log
        is kept for log backups (until then FULL behaves as SIMPLE); waiting: the
        log holds work that no log backup has taken yet. log_size_mb and
        used_pages None: as its files give them."""
        return self.logs.setdefault(name.casefold(), {
            "recovery": "SIMPLE", "chain": False, "waiting": False, "begins": False, "log_lsn": 0, "base_lsn": 0,
            "log_size_mb": None, "log_used_pct": LOG_USED_TRUNCATED, "used_pages": None})

    def log_reuse_wait(self, name):
        return "LOG_BACKUP" if self.log_of(name)["waiting"] else "NOTHING"

    def log_space(self, name):
        """(size in MB, percent used) as DBCC SQLPERF(LOGSPACE) tells them."""
        log = self.log_of(name)
        size = log["log_size_mb"]
        if size is None:
            size = sum(f["size"] for f in self.database_files(name) if f["type"] == "L") / 1048576
        return size, log["log_used_pct"]

    def used_pages(self, name):
        used = self.log_of(name)["used_pages"]
        if used is None:
            used = sum(used_part(f) for f in self.database_files(name) if f["type"] == "D")
        return used

    def truncate_log(self, name):
        log = self.log_of(name)
        log["waiting"] = False
        log["log_used_pct"] = min(log["log_used_pct"], LOG_USED_TRUNCATED)

    def start_log_chain(self, name, lsn):
        """A full backup (or a restore) of a database in FULL or BULK_LOGGED: from
        now on its log is kept until a log backup takes it."""
        log = self.log_of(name)
        if log["recovery"] == "SIMPLE":
            return
        if not log["chain"]:
            log["chain"], log["begins"], log["log_lsn"] = True, True, lsn
        log["base_lsn"] = lsn
        log["waiting"] = True

    def set_recovery(self, name, model):
        """ALTER DATABASE ... SET RECOVERY: SIMPLE truncates the log and breaks the
        chain, so that back in FULL or BULK_LOGGED it waits for a full backup
        again; between FULL and BULK_LOGGED the chain holds."""
        log = self.log_of(name)
        log["recovery"] = model
        if model == "SIMPLE":
            log["chain"] = log["begins"] = False
            self.truncate_log(name)

    def next_lsn(self, step):
        self.lsn += step
        return self.lsn


class TdsConnection:
    def __init__(self, sock, state):
        self.sock, self.state = sock, state
        self.packet_size = 4096
        self.version = TDS74
        self.user = None
        self.database = "master"  # the login's database: what sys.allocation_units without [d] reads
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
        self.database = database
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

    def note_database(self, entry, name):
        """Records the statement's database as named, and its user access mode
        as the statement found it ("" for a database the server does not have)."""
        with self.state.lock:
            listed = self.state.database_name(name)
            entry["user_access"] = self.state.user_access(listed) if listed is not None else ""
        entry["database"] = name

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
            fault = self.state.take_fault("catalogue")
            if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
                return
            failing = fault is not None and fault["fault"] == "catalogue_error"
            if failing:
                entry["fault"] = "catalogue_error"
            self.send(self.catalogue(failing))
        elif re.match(r"\s*backup\b", text, re.IGNORECASE):
            self.backup(text, entry)
        elif re.match(r"\s*restore\b", text, re.IGNORECASE):
            self.restore(text, entry)
        elif re.match(r"\s*dbcc\s+sqlperf\b", text, re.IGNORECASE):
            self.sqlperf(text, entry)
        elif re.match(r"\s*dbcc\b", text, re.IGNORECASE):
            self.checkdb(text, entry)
        elif re.match(r"\s*alter\b", text, re.IGNORECASE):
            self.alter_database(text, entry)
        elif re.match(r"\s*drop\b", text, re.IGNORECASE):
            self.drop_database(text, entry)
        elif re.match(r"\s*select\b", text, re.IGNORECASE):
            self.select(text, entry)
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
        log_backup = parsed["kind"] == "LOG"
        verb = "BACKUP LOG" if log_backup else "BACKUP DATABASE"
        self.note_database(entry, parsed["database"])
        entry["disks"] = parsed["disks"]
        entry["options"] = {k: v for k, v in parsed["options"].items()}
        entry["kind"] = parsed["kind"]
        state = self.state
        fault = state.take_fault("backup_log" if log_backup else "backup")
        entry["fault"] = fault["fault"] if fault else None
        terminate = Message(3013, 16, "%s is terminating abnormally." % verb)

        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return

        with state.lock:
            database = state.database_name(parsed["database"])
            restoring = database is not None and state.database_state(database) == "RESTORING"
            drives = dict(state.drives)
            log = dict(state.log_of(database)) if database is not None else None
        if database is None:
            self.send(self.messages([
                Message(911, 16, "Database '%s' does not exist. Make sure that the name is entered correctly." % parsed["database"]),
                terminate]))
            return
        if restoring:
            self.send(self.messages([in_restore(database), terminate]))
            return
        if log_backup and log["recovery"] == "SIMPLE":
            self.send(self.messages([
                Message(4208, 16, "The statement BACKUP LOG is not allowed while the recovery model is SIMPLE. Use "
                                  "BACKUP DATABASE or change the recovery model using ALTER DATABASE."), terminate]))
            return
        if log_backup and not log["chain"]:
            self.send(self.messages([
                Message(4214, 16, "BACKUP LOG cannot be performed because there is no current database backup."),
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
                mode = "wb" if parsed["options"].get("INIT") or parsed["options"].get("FORMAT") else "ab"
                kept = os.path.getsize(target) if mode == "ab" and os.path.isfile(target) else 0
                handle = open(target, mode)
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
        steps = list(range(stats, 101, stats)) if stats and stats > 0 else []
        started = now()
        out, cancelled = self.progress(steps, fault, fail_at)
        if cancelled:
            handle.close()
            if kept:
                os.truncate(target, kept)
            else:
                os.remove(target)
            entry["file"] = ""
            entry["cancelled"] = True
            self.send(self.done(DONE_ATTN))
            return
        with state.lock:
            files = state.database_files(database)
            log = dict(state.log_of(database))
            log_size_mb, log_used_pct = state.log_space(database)
            # A log backup takes the log from where the last one ended.
            first_lsn = log["log_lsn"] if log_backup else state.next_lsn(100000)
            last_lsn = state.next_lsn(300000)
            # The database's options and data go into the set with it.
            access, content = state.user_access(database), state.contents.get(database.casefold(), "")
        options = parsed["options"]
        header = {
            "type": parsed["kind"], "name": options.get("NAME", ""), "description": options.get("DESCRIPTION", ""),
            "database": database, "user": self.user, "server": state.server_name, "start": started.isoformat(),
            "finish": now().isoformat(), "checksums": bool(options.get("CHECKSUM")),
            "copy_only": bool(options.get("COPY_ONLY")), "first_lsn": first_lsn, "last_lsn": last_lsn,
            "files": files, "guid": str(uuid.uuid4()), "recovery": log["recovery"],
            "database_backup_lsn": log["base_lsn"], "begins_chain": log_backup and log["begins"],
            "user_access": access, "content": content,
        }
        written = encode_set(header, set_pages(database, header["guid"]))
        with handle:
            # A dropped line leaves the set cut short, as a server killed mid-write would.
            handle.write(written if fail_at is None else written[:len(written) // 2])
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
        position = max(1, len(read_sets(target, lenient=True)))
        with state.lock:
            if state.database_name(database) is not None:
                if not log_backup:
                    state.start_log_chain(database, first_lsn)
                elif not options.get("COPY_ONLY"):
                    # A copy-only log backup leaves the log as it was.
                    current = state.log_of(database)
                    current["log_lsn"], current["begins"] = last_lsn, False
                    state.truncate_log(database)
        if log_backup:
            # What a log backup reads is the log's used part.
            pages = max(1, int(log_size_mb * 1048576 * log_used_pct / 100) // 8192)
            logs = [f for f in files if f["type"] == "L"][:1] or files[-1:]
            out += self.messages(processed_pages("BACKUP LOG", database, [(logs[0], pages)], position))
        else:
            out += self.messages(processed("BACKUP DATABASE", database, files, position))
        self.send(out)

    # -- restore, check and drop -----------------------------------------------
    def open_media(self, device, drives):
        """(sets, messages): the backup sets of the file, or why it cannot be read (3013 to follow)."""
        target = map_path(device, drives)
        if target is None or not os.path.isfile(target):
            folder_there = target is not None and os.path.isdir(os.path.dirname(target))
            os_error = ("2(The system cannot find the file specified.)" if folder_there
                        else "3(The system cannot find the path specified.)")
            return None, [Message(3201, 16, "Cannot open backup device '%s'. Operating system error %s."
                                  % (device, os_error))]
        try:
            return read_sets(target), []
        except Malformed:
            return None, [Message(3241, 16, "The media family on device '%s' is incorrectly formed. SQL Server "
                                            "cannot process this media family." % device)]

    @staticmethod
    def damaged(chosen):
        """What the server says of a set whose content does not match what was written."""
        header = chosen["header"]
        if header.get("checksums"):
            # The backup's page checksums name the page.
            return Message(3183, 16, 'RESTORE detected an error on page (1:%d) in database "%s" as read from '
                                     'the backup set.' % (chosen["data_length"] // 2 // 8192 + 1, header["database"]))
        return Message(3189, 16, "Damage to the backup set was detected.")

    def restore(self, text, entry):
        try:
            parsed = parse_restore(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        verb, options = parsed["verb"], parsed["options"]
        entry["disks"] = parsed["disks"]
        entry["options"] = dict(options)
        if parsed["database"] is not None:
            self.note_database(entry, parsed["database"])
        state = self.state
        fault = state.take_fault(RESTORE_VERBS[verb])
        entry["fault"] = fault["fault"] if fault else None
        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return
        terminate = Message(3013, 16, TERMINATING[verb])
        with state.lock:
            drives = dict(state.drives)
        device = parsed["disks"][0]
        sets, problems = self.open_media(device, drives)
        if problems:
            self.send(self.messages(problems + [terminate]))
            return
        position = options.get("FILE")
        if position is not None and not 1 <= position <= len(sets):
            self.send(self.messages([Message(4038, 16, "Cannot find file ID %d on device '%s'." % (position, device)),
                                     terminate]))
            return
        if verb == "HEADERONLY":
            chosen = range(1, len(sets) + 1) if position is None else [position]
            self.send(result_set(HEADER_COLUMNS, [header_row(sets[n - 1], n) for n in chosen], 0))
            return
        position = position or 1
        chosen = sets[position - 1]
        if verb == "FILELISTONLY":
            self.send(result_set(FILE_COLUMNS, file_rows(chosen), 0))
            return
        if options.get("CHECKSUM") and not chosen["header"].get("checksums"):
            self.send(self.messages([Message(3187, 16, "RESTORE WITH CHECKSUM cannot be specified because the backup "
                                                       "set does not contain checksum information."), terminate]))
            return
        stats = options.get("STATS")
        steps = list(range(stats, 101, stats)) if stats and stats > 0 else []
        if verb == "VERIFYONLY":
            self.verify(entry, chosen, position, steps, fault, terminate)
        else:
            self.restore_database(entry, parsed, chosen, position, steps, fault, terminate, drives)

    def cut_line(self, out):
        """A partial reply without end of message, then the line goes dead."""
        self.send(out, last=False)
        self.sock.shutdown(socket.SHUT_RDWR)
        raise ConnectionError("dropped on purpose")

    def verify(self, entry, chosen, position, steps, fault, terminate):
        dropping = fault is not None and fault["fault"] == "drop"
        out, cancelled = self.progress(steps, fault, int(fault.get("after", 50)) if dropping else None)
        if cancelled:
            entry["cancelled"] = True
            self.send(self.done(DONE_ATTN))
            return
        if dropping:
            self.cut_line(out)
        if not chosen["intact"]:
            self.send(out + self.messages([self.damaged(chosen), terminate]))
            return
        self.send(out + self.messages([Message(3262, 0, "The backup set on file %d is valid." % position)]))

    def restore_database(self, entry, parsed, chosen, position, steps, fault, terminate, drives):
        state = self.state
        name, options = parsed["database"], parsed["options"]
        header = chosen["header"]
        with state.lock:
            existing = state.database_name(name)
            others = {}  # the local path of every file another database has -> that database
            for db in list(SYSTEM_DATABASES) + state.databases:
                if existing is not None and db == existing:
                    continue
                for f in state.database_files(db):
                    local = map_path(f["physical"], drives)
                    if local is not None:
                        others[os.path.normcase(os.path.abspath(local))] = db
            replaced = state.database_files(existing) if existing else []
            # Its own connection's database counts too: a restore needs the database to itself.
            in_use = existing is not None and (state.other_users(existing) > 0
                                               or self.database.casefold() == existing.casefold())
            access = state.user_access(existing) if existing is not None else "MULTI_USER"
        if in_use:
            self.send(self.messages([Message(3101, 16, "Exclusive access could not be obtained because the database "
                                                       "is in use."), terminate]))
            return
        if existing is not None and not options.get("REPLACE"):
            if existing.casefold() == header["database"].casefold():
                message = Message(3159, 16, 'The tail of the log for the database "%s" has not been backed up. Use '
                                            'BACKUP LOG WITH NORECOVERY to backup the log if it contains work you do '
                                            'not want to lose. Use the WITH REPLACE or WITH STOPAT clause of the '
                                            'RESTORE statement to just overwrite the contents of the log.' % existing)
            else:
                message = Message(3154, 16, "The backup set holds a backup of a database other than the existing "
                                            "'%s' database." % existing)
            self.send(self.messages([message, terminate]))
            return
        files = header["files"]
        logical_names = {f["logical"].casefold() for f in files}
        moves = {}
        for logical, physical in parsed["moves"]:
            if logical.casefold() not in logical_names:
                self.send(self.messages([Message(3234, 16, "Logical file '%s' is not part of database '%s'. Use "
                                                           "RESTORE FILELISTONLY to list the logical file names."
                                                 % (logical, name)), terminate]))
                return
            moves[logical.casefold()] = physical
        problems, planned = [], []
        for f in files:
            physical = moves.get(f["logical"].casefold(), f["physical"])
            local = map_path(physical, drives)
            if local is None or not os.path.isdir(os.path.dirname(local)):
                problems += [
                    Message(5133, 16, 'Directory lookup for the file "%s" failed with the operating system error '
                                      '3(The system cannot find the path specified.).' % physical),
                    Message(3156, 16, "File '%s' cannot be restored to '%s'. Use WITH MOVE to identify a valid "
                                      "location for the file." % (f["logical"], physical))]
            elif os.path.normcase(os.path.abspath(local)) in others:
                problems += [
                    Message(1834, 16, "The file '%s' cannot be overwritten.  It is being used by database '%s'."
                            % (physical, others[os.path.normcase(os.path.abspath(local))])),
                    Message(3156, 16, "File '%s' cannot be restored to '%s'. Use WITH MOVE to identify a valid "
                                      "location for the file." % (f["logical"], physical))]
            else:
                planned.append(dict(f, physical=physical, local=local))
        planning = Message(3119, 16, "Problems were identified while planning for the RESTORE statement. Previous "
                                     "messages provide details.")
        if problems:
            self.send(self.messages(problems + [planning, terminate]))
            return
        # Room for the files at their full size, per volume, before anything is written.
        needs = {}
        for f in planned:
            letter = f["physical"][0].upper()
            needs[letter] = needs.get(letter, 0) + f["size"]
        for letter, need in sorted(needs.items()):
            free = shutil.disk_usage(drives[letter]).free
            if need > free:
                self.send(self.messages([no_room(letter, need - free, free), planning, terminate]))
                return

        # From here on the database exists, restoring, until the restore completes:
        # a failure, a cancel or a dropped line leaves it so, as the server does.
        with state.lock:
            if existing is not None:
                state.remove_database(existing)
        # REPLACE: the files the old database had where the new one has none go with it.
        kept = {os.path.abspath(f["local"]) for f in planned}
        remove_database_files([f for f in replaced
                               if os.path.abspath(map_path(f["physical"], drives) or "/") not in kept], drives)
        origin = "restored from %s, backup set %d" % (parsed["disks"][0], position)
        for f in planned:
            write_database_file(f["local"], name, f["logical"], origin)
        restored = [{k: f[k] for k in ("logical", "physical", "type", "group", "size")} for f in planned]
        with state.lock:
            state.add_database(existing or name, restored, "RESTORING")
            if access != "MULTI_USER":
                state.access[name.casefold()] = access
        entry["file"] = planned[0]["local"] if planned else ""

        failing = fault is not None and fault["fault"] in ("disk_full", "drop")
        fail_at = int(fault.get("after", 50)) if failing else None
        if not chosen["intact"]:
            fail_at = 50 if fail_at is None else min(fail_at, 50)
        out, cancelled = self.progress(steps, fault, fail_at)
        if cancelled:
            entry["cancelled"] = True
            self.send(self.done(DONE_ATTN))
            return
        if failing and fault["fault"] == "drop":
            self.cut_line(out)
        if failing:
            need = sum(f["size"] for f in planned)
            self.send(out + self.messages([no_room(planned[0]["physical"][0].upper(), need // 2, need // 4),
                                           terminate]))
            return
        if not chosen["intact"]:
            self.send(out + self.messages([self.damaged(chosen), terminate]))
            return
        if not options.get("NORECOVERY"):
            with state.lock:
                state.add_database(existing or name, restored, "ONLINE")
                # The database comes back in the model its backup recorded; its
                # log chain goes on from the backup.
                state.set_recovery(existing or name, header.get("recovery", "SIMPLE"))
                state.start_log_chain(existing or name, header["first_lsn"])
                state.log_of(existing or name)["waiting"] = False
                # The database's options come back as the backup recorded them,
                # its user access among them: a backup of a SINGLE_USER database
                # restores SINGLE_USER, one of a MULTI_USER database MULTI_USER,
                # whatever the database restored over was set to.
                state.access[name.casefold()] = header.get("user_access", "MULTI_USER")
                state.contents[name.casefold()] = header.get("content", "")
        self.send(out + self.messages(processed("RESTORE DATABASE", name, restored, position)))

    def checkdb(self, text, entry):
        try:
            name, options = parse_checkdb(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        state = self.state
        fault = state.take_fault("checkdb")
        entry["fault"] = fault["fault"] if fault else None
        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return
        with state.lock:
            database = state.database_name(name if name is not None else "master")
            restoring = database is not None and state.database_state(database) == "RESTORING"
        self.note_database(entry, database or name)
        if database is None:
            self.send(self.messages([Message(2520, 16, "Could not find database '%s'. The database either does not "
                                                       "exist, or was dropped before a statement tried to use it. "
                                                       "Verify if the database exists by looking up in the "
                                                       "sys.databases system view and try again." % name)]))
            return
        if restoring:
            self.send(self.messages([in_restore(database)]))
            return
        if fault and fault["fault"] == "slow" and self.wait_for_attention(float(fault.get("seconds", 6))):
            entry["cancelled"] = True
            self.send(self.done(DONE_ATTN))
            return
        quiet = "NO_INFOMSGS" in options
        completed = Message(2528, 0, "DBCC execution completed. If DBCC printed error messages, contact your system "
                                     "administrator.")
        if fault and fault["fault"] == "corrupt":
            self.send(self.messages([
                Message(8939, 16, "Table error: Object ID 581577110, index ID 1, partition ID 72057594043236352, "
                                  "alloc unit ID 72057594044219392 (type In-row data), page (1:312). Test "
                                  "(IS_OFF (BUF_IOERR, pBUF->bstat)) failed. Values are 133129 and -4."),
                Message(8928, 16, "Object ID 581577110, index ID 1, partition ID 72057594043236352, alloc unit ID "
                                  "72057594044219392 (type In-row data): Page (1:312) could not be processed.  See "
                                  "other errors for details."),
                Message(8989, 16, "CHECKDB found 0 allocation errors and 2 consistency errors in database '%s'."
                        % database),
                Message(8958, 0, "repair_allow_data_loss is the minimum repair level for the errors found by DBCC "
                                 "CHECKDB (%s)." % database),
            ] + ([] if quiet else [completed])))
            return
        if quiet:
            self.send(self.done(DONE_FINAL))
            return
        self.send(self.messages([Message(8989, 0, "CHECKDB found 0 allocation errors and 0 consistency errors in "
                                                  "database '%s'." % database), completed]))

    def drop_database(self, text, entry):
        try:
            if_exists, names = parse_drop(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        state = self.state
        fault = state.take_fault("drop_database")
        entry["fault"] = fault["fault"] if fault else None
        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return
        self.note_database(entry, names[0])
        problems = []
        for name in names:
            with state.lock:
                database = state.database_name(name)
                system = database is not None and database.casefold() in SYSTEM_DATABASES
                files = state.database_files(database) if database is not None and not system else []
                drives = dict(state.drives)
                busy = database is not None and not system and state.other_users(database) > 0
                if database is not None and not system and not busy:
                    state.remove_database(database)
            if database is None:
                if not if_exists:
                    problems.append(Message(3701, 11, "Cannot drop the database '%s', because it does not exist or "
                                                      "you do not have permission." % name))
            elif busy:
                problems.append(Message(3702, 16, 'Cannot drop database "%s" because it is currently in use.'
                                        % database))
            elif system:
                problems.append(Message(3708, 16, "Cannot drop the database '%s' because it is a system database."
                                        % database))
            else:
                remove_database_files(files, drives)
        self.send(self.messages(problems) if problems else self.done(DONE_FINAL))

    def select(self, text, entry):
        try:
            parsed = parse_select(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        if parsed["table"] is None:
            self.server_properties(parsed, entry)
            return
        state = self.state
        table = [p.casefold() for p in parsed["table"]]
        view = table[-1] if 2 <= len(table) <= 3 and table[-2] == "sys" and table[-1] in VIEW_COLUMNS else None
        fault = state.take_fault("select", *([VIEW_FAULTS[view]] if view else []))
        entry["fault"] = fault["fault"] if fault else None
        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return
        with state.lock:
            # [d].sys.view: the catalogue as seen from d; sys.view: from the login's database.
            database = state.database_name(parsed["table"][0] if len(table) == 3 else self.database)
            restoring = database is not None and state.database_state(database) == "RESTORING"
        if view is None or database is None:
            self.send(self.messages([Message(208, 16, "Invalid object name '%s'." % ".".join(parsed["table"]))]))
            return
        self.note_database(entry, database)
        if restoring:
            self.send(self.messages([in_restore(database)]))
            return
        if fault and fault["fault"] == "denied":
            self.send(self.messages([Message(229, 14, "The SELECT permission was denied on the object '%s', database "
                                                      "'mssqlsystemresource', schema 'sys'." % view, 5)]))
            return
        available = {c[0].casefold(): c for c in VIEW_COLUMNS[view]}
        items = parsed["columns"] or [{"kind": "column", "name": c[0], "cast": None, "alias": None}
                                      for c in VIEW_COLUMNS[view]]
        if any(i["cast"] is not None for i in items):
            self.send(self.messages([Message(50000, 16, "The stand-in casts only SERVERPROPERTY.")]))
            return
        named = ([i["name"] for i in items if i["kind"] != "property"] + [c for c, _ in parsed["conditions"]]
                 + ([parsed["order"][0]] if parsed["order"] else []))
        unknown = [c for c in named if c.casefold() not in available]
        if unknown:
            self.send(self.messages([Message(207, 16, "Invalid column name '%s'." % c) for c in unknown]))
            return
        aggregate = any(i["kind"] == "sum" for i in items)
        loose = [i for i in items if aggregate and i["kind"] == "column"]
        if loose:
            self.send(self.messages([Message(8120, 16, "Column 'sys.%s.%s' is invalid in the select list because it "
                                                       "is not contained in either an aggregate function or the "
                                                       "GROUP BY clause." % (view, available[i["name"].casefold()][0]))
                                     for i in loose]))
            return
        with state.lock:
            rows = view_rows(state, view, database)
            ids = {}
            for column, (kind, value) in parsed["conditions"]:
                if kind == "db_id":
                    named_db = state.database_name(value)
                    ids[value] = state.database_id(named_db) if named_db else None

        def matches(row):
            for column, (kind, value) in parsed["conditions"]:
                have = row[available[column.casefold()][0]]
                want = ids[value] if kind == "db_id" else value
                if want is None:
                    return False  # = NULL is never true
                if isinstance(have, str) and isinstance(want, str):
                    if have.casefold() != want.casefold():
                        return False
                elif have != want:
                    return False
            return True

        # A login that may not see them gets no rows, and no error.
        rows = [] if fault and fault["fault"] == "hidden" else [row for row in rows if matches(row)]
        if parsed["order"] and not aggregate:
            key = available[parsed["order"][0].casefold()][0]
            rows.sort(key=lambda r: (r[key].casefold() if isinstance(r[key], str) else r[key]),
                      reverse=parsed["order"][1])
        columns, values = [], []
        for item in items:
            if item["kind"] == "property":
                columns.append((item["alias"] or "", "variant", 0))
                value = self.server_property(item["name"])
                values.append(lambda row, value=value: value)
                continue
            name, kind, size = available[item["name"].casefold()]
            if item["kind"] == "sum":
                # SUM of a bigint is a bigint, of any smaller integer an int; of no rows NULL.
                columns.append((item["alias"] or "", "bigint" if kind == "bigint" else "int", 0))
                values.append(lambda rows, name=name: sum(r[name] for r in rows) if rows else None)
            else:
                columns.append((item["alias"] or name, kind, size))
                values.append(lambda row, name=name: row[name])
        if aggregate:
            self.send(result_set(columns, [[value(rows) for value in values]]))
        else:
            self.send(result_set(columns, [[value(row) for value in values] for row in rows]))

    def server_property(self, name):
        """SERVERPROPERTY(name): an int or a text, None for a property it does not know."""
        state = self.state
        with state.lock:
            edition = dict(state.edition)
            listing = bool(state.instances)
            data_path = state.data_path
        # instance_listed takes the state's lock itself.
        instance = state.instance_listed(self.prelogin_instance or "") if listing else None
        host = state.server_name
        values = {
            "engineedition": int(edition["engine_edition"]), "productversion": edition["product_version"],
            "edition": edition.get("edition") or EDITION_NAMES.get(int(edition["engine_edition"]), "Standard Edition"),
            "machinename": host, "servername": host + "\\" + instance if instance else host, "instancename": instance,
            # The stand-in keeps logs beside the data, as a default installation does.
            "instancedefaultdatapath": data_path, "instancedefaultlogpath": data_path,
        }
        return values.get(name.casefold())

    def server_properties(self, parsed, entry):
        """SELECT SERVERPROPERTY('...') [AS alias], ... (no FROM): one row of sql_variant values."""
        fault = self.state.take_fault("select", "edition")
        entry["fault"] = fault["fault"] if fault else None
        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return
        unknown = [i["name"] for i in parsed["columns"] if i["kind"] != "property"]
        if unknown:
            self.send(self.messages([Message(207, 16, "Invalid column name '%s'." % c) for c in unknown]))
            return
        # SERVERPROPERTY is a sql_variant unless cast.
        columns, row = [], []
        for item in parsed["columns"]:
            value = self.server_property(item["name"])
            if item["cast"] is None:
                columns.append((item["alias"] or "", "variant", 0))
            else:
                value, error = cast_value(value, item["cast"])
                if error is not None:
                    self.send(self.messages([error]))
                    return
                columns.append((item["alias"] or "", *item["cast"]))
            row.append(value)
        self.send(result_set(columns, [row]))

    # -- the log and the recovery model ----------------------------------------
    def sqlperf(self, text, entry):
        """DBCC SQLPERF(LOGSPACE): each database's log size and use, then 2528."""
        try:
            quiet = parse_sqlperf(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        state = self.state
        fault = state.take_fault("logspace")
        entry["fault"] = fault["fault"] if fault else None
        if fault and fault["fault"] == "hang" and self.hang(entry, float(fault.get("seconds", 30))):
            return
        if fault and fault["fault"] == "denied":
            # Without VIEW SERVER STATE.
            self.send(self.messages([Message(297, 16, "The user does not have permission to perform this action.")]))
            return
        with state.lock:
            rows = [[name, *state.log_space(name), 0] for name in state.all_databases()]
        # The sizes are reals, as the server reports them.
        columns = [("Database Name", "nvarchar", 128), ("Log Size (MB)", "real", 0),
                   ("Log Space Used (%)", "real", 0), ("Status", "int", 0)]
        if quiet:
            self.send(result_set(columns, rows, 0))
            return
        self.send(result_set(columns, rows, 0, more=True) + self.messages([Message(
            2528, 0, "DBCC execution completed. If DBCC printed error messages, contact your system administrator.")]))

    def alter_database(self, text, entry):
        try:
            parsed = parse_alter(text)
        except ParseError as e:
            self.send(self.messages(e.messages))
            return
        state = self.state
        name, option = parsed["name"], parsed["option"]
        failed = Message(5069, 16, "ALTER DATABASE statement failed.")
        with state.lock:
            database = state.database_name(name)
            restoring = database is not None and state.database_state(database) == "RESTORING"
            if option == "RECOVERY" and database is not None and not restoring:
                state.set_recovery(database, parsed["model"])
        self.note_database(entry, database or name)
        if database is None:
            self.send(self.messages([Message(5011, 14, "User does not have permission to alter database '%s', the "
                                                       "database does not exist, or the database is not in a state "
                                                       "that allows access checks." % name), failed]))
        elif restoring and option == "RECOVERY":
            self.send(self.messages([in_restore(database), failed]))
        elif restoring:
            self.send(self.messages([Message(5052, 16, "ALTER DATABASE is not permitted while a database is in the "
                                                       "Restoring state."), failed]))
        elif option == "RECOVERY":
            self.send(self.done(DONE_FINAL))
        elif database.casefold() == "master":
            self.send(self.messages([Message(5058, 16, "Option '%s' cannot be set in database '%s'."
                                             % (option, database)), failed]))
        else:
            self.set_user_access(entry, database, option, parsed["termination"], failed)

    def set_user_access(self, entry, database, mode, termination, failed):
        """ALTER DATABASE ... SET SINGLE_USER | MULTI_USER against the other
        connections that use the database: without a termination clause it
        waits as long as they stay, NO_WAIT fails at once, ROLLBACK ends them
        (at once, or after its seconds) with 5060. A SINGLE_USER database that
        another connection holds refuses any change but a ROLLBACK (5064)."""
        state = self.state
        with state.lock:
            current, others = state.user_access(database), state.other_users(database)
        entry["ended"] = 0
        if others and current == "SINGLE_USER" and termination in (None, "NO_WAIT"):
            self.send(self.messages([Message(5064, 16, "Changes to the state or options of database '%s' cannot be "
                                                       "made at this time. The database is in single-user mode, and "
                                                       "a user is currently connected to it." % database), failed]))
            return
        # MULTI_USER over MULTI_USER changes nothing and waits for nobody.
        if others and not (current == mode == "MULTI_USER"):
            if termination == "NO_WAIT":
                self.send(self.messages([Message(5070, 16, "Database state cannot be changed while other users are "
                                                           "using the database '%s'" % database), failed]))
                return
            waited = self.wait_for_users(database, None if termination is None else float(termination))
            if waited == "cancelled":
                entry["cancelled"] = True
                self.send(self.done(DONE_ATTN))
                return
        with state.lock:
            # (A database dropped while this one waited is left alone.)
            if state.database_name(database) is not None and not (current == mode == "MULTI_USER"):
                # Whoever is still there now is rolled back and disconnected.
                entry["ended"] = state.other_users(database)
                state.users_of.pop(database.casefold(), None)
                state.access[database.casefold()] = mode
        if entry["ended"]:
            # Severity 10 goes out as class 0, as the server sends it.
            self.send(self.messages([Message(5060, 0, "Nonqualified transactions are being rolled back. Estimated "
                                                      "rollback completion: 100%.")]))
        else:
            self.send(self.done(DONE_FINAL))

    def wait_for_users(self, database, seconds):
        """Silent while other connections use the database, for up to seconds
        (None: for as long as they stay): "left", "timeout" or "cancelled" (the
        client's attention, not yet acknowledged)."""
        deadline = None if seconds is None else time.monotonic() + seconds
        while True:
            with self.state.lock:
                if self.state.other_users(database) == 0:
                    return "left"
            left = 0.05 if deadline is None else min(0.05, deadline - time.monotonic())
            if left <= 0:
                return "timeout"
            if self.wait_for_attention(left):
                return "cancelled"

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

    def progress(self, steps, fault, fail_at=None):
        """The progress messages (3211) of a statement that runs, up to fail_at percent.

        Returns (what is still to send, cancelled). With a "slow" or "stall" fault
        they go out while the statement runs, each flush its own packet, so that
        the client sees long silences between packets; cancelled is then True
        when the client sent an attention meanwhile (not yet acknowledged)."""
        tokens = [self.message_token(Message(3211, 0, "%d percent processed." % p)) + self.done(DONE_MORE)
                  for p in steps if fail_at is None or p <= fail_at]
        kind = fault["fault"] if fault else None
        if kind not in ("slow", "stall"):
            return b"".join(tokens), False
        # (silence before, messages) for each flush.
        if kind == "slow":
            packets = max(1, min(int(fault.get("packets", len(tokens))), len(tokens)))
            interval = float(fault.get("seconds", 6)) / packets
            flushes = [(interval, b"".join(tokens[n * len(tokens) // packets:(n + 1) * len(tokens) // packets]))
                       for n in range(packets)]
        else:
            early = len([p for p in steps if p <= int(fault.get("after", 50))])
            flushes = [(0, message) for message in tokens[:early]]
            flushes.append((float(fault.get("seconds", 30)), b"".join(tokens[early:])))
        for silence, chunk in flushes:
            if self.wait_for_attention(silence):
                return b"", True
            if chunk:
                self.send(chunk, last=False)
        return b"", False

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


def no_room(letter, missing, free):
    return Message(3257, 16, "There is insufficient free space on disk volume '%s:\\' to create the database. The "
                             "database requires %d additional free bytes, while only %d bytes are available."
                   % (letter, missing, free))


def in_restore(database):
    return Message(927, 14, "Database '%s' cannot be opened. It is in the middle of a restore." % database)


def now():
    """The server's clock, to the millisecond (what a datetime column holds, near enough)."""
    t = datetime.now()
    return t.replace(microsecond=t.microsecond // 1000 * 1000)


def used_part(f):
    """The pages of a database file that hold data: what a full backup reads of it."""
    return max(1, f["size"] // 8192 // 40)


def processed(verb, database, files, position):
    """The messages of a backup or restore that completed: pages per file, then the total."""
    return processed_pages(verb, database, [(f, used_part(f)) for f in files], position)


def processed_pages(verb, database, pages_by_file, position):
    total = sum(n for _, n in pages_by_file)
    return [Message(4035, 0, "Processed %d pages for database '%s', file '%s' on file %d."
                    % (n, database, f["logical"], position)) for f, n in pages_by_file] + [
        Message(3014, 0, "%s successfully processed %d pages in 0.012 seconds (%.3f MB/sec)."
                % (verb, total, total * 8192 / 1048576 / 0.012))]


# ---------------------------------------------------------------------------
# Backup files. Each backup set is one block: a magic, its header (JSON, what
# RESTORE HEADERONLY and FILELISTONLY tell), its pages, and a CRC-32 of both,
# so that a file changed after it was written, or cut short, is found out by
# RESTORE, as the real server finds it out by the structure of its media and
# its checksums. Whether the set "has backup checksums" (BACKUP ... WITH
# CHECKSUM) is a flag in the header: it decides which message a damaged set
# gets, and whether RESTORE ... WITH CHECKSUM may be asked of it.

SET_MAGIC = b"BKWNSET1"


def set_pages(database, guid):
    """The set's data: 16 KiB that depend on the database and the set."""
    line = ("[%s] set %s page " % (database, guid)).encode("utf-8")
    data = b"".join(line + b"%06d\n" % n for n in range(16384 // (len(line) + 7) + 1))
    return data[:16384]


def encode_set(header, data):
    h = json.dumps(header, ensure_ascii=False).encode("utf-8")
    body = struct.pack("<I", len(h)) + h + struct.pack("<Q", len(data)) + data
    return SET_MAGIC + body + struct.pack("<I", zlib.crc32(body))


class Malformed(Exception):
    """The file is no backup media, or is cut short: 3241."""


def read_sets(path, lenient=False):
    """[{header, offset, data_offset, data_length, end, intact}] for each set in the file.

    Raises Malformed at the first block that is not whole, unless lenient (then
    the sets before it)."""
    with open(path, "rb") as f:
        data = f.read()
    sets = []
    pos = 0
    try:
        if not data:
            raise Malformed()
        while pos < len(data):
            if data[pos:pos + 8] != SET_MAGIC or pos + 12 > len(data):
                raise Malformed()
            (hlen,) = struct.unpack_from("<I", data, pos + 8)
            hstart = pos + 12
            if hstart + hlen + 8 > len(data):
                raise Malformed()
            try:
                header = json.loads(data[hstart:hstart + hlen].decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                raise Malformed()
            if not isinstance(header, dict) or not isinstance(header.get("files"), list):
                raise Malformed()
            (dlen,) = struct.unpack_from("<Q", data, hstart + hlen)
            dstart = hstart + hlen + 8
            end = dstart + dlen + 4
            if end > len(data):
                raise Malformed()
            (crc,) = struct.unpack_from("<I", data, dstart + dlen)
            sets.append({"header": header, "offset": pos, "data_offset": dstart, "data_length": dlen, "end": end,
                         "intact": zlib.crc32(data[pos + 8:dstart + dlen]) == crc})
            pos = end
    except Malformed:
        if not lenient:
            raise
    return sets


def damage(path, position, how):
    """Changes a written backup file as a failing disk or an interrupted copy would."""
    sets = read_sets(path, lenient=True)
    if not sets:
        raise ValueError("%s holds no backup set" % path)
    if position <= 0:
        position = len(sets)
    if position > len(sets):
        raise ValueError("%s holds %d backup sets, not %d" % (path, len(sets), position))
    chosen = sets[position - 1]
    middle = chosen["data_offset"] + chosen["data_length"] // 2
    if how == "cut":
        os.truncate(path, middle)
    elif how == "bytes":
        with open(path, "r+b") as f:
            f.seek(middle)
            part = f.read(4)
            f.seek(middle)
            f.write(bytes(b ^ 0x5A for b in part))
    else:
        raise ValueError("unknown damage %r" % how)


# ---------------------------------------------------------------------------
# Result sets with the server's column types, so that the client converts the
# values as it would a real server's (a datetime, a numeric, a bit as text).

def column_meta(kind, size):
    if kind == "nvarchar":
        return bytes([0xE7]) + struct.pack("<H", size * 2) + COLLATION
    if kind == "char":
        return bytes([0xAF]) + struct.pack("<H", size) + COLLATION
    if kind in INT_SIZES:
        return bytes([0x26, INT_SIZES[kind]])
    if kind == "bit":
        return bytes([0x68, 1])
    if kind == "datetime":
        return bytes([0x6F, 8])
    if kind == "numeric":  # size is the precision; scale 0
        return bytes([0x6C, numeric_length(size), size, 0])
    if kind == "guid":
        return bytes([0x24, 16])
    if kind == "varbinary":
        return bytes([0xA5]) + struct.pack("<H", size)
    if kind in FLOAT_SIZES:
        return bytes([0x6D, FLOAT_SIZES[kind]])
    if kind == "variant":  # sql_variant, as SERVERPROPERTY returns
        return bytes([0x62]) + struct.pack("<I", 8016)
    raise ValueError(kind)


FLOAT_SIZES = {"real": 4, "float": 8}


INT_SIZES = {"tinyint": 1, "smallint": 2, "int": 4, "bigint": 8}


def numeric_length(precision):
    return 5 if precision <= 9 else 9 if precision <= 19 else 13 if precision <= 28 else 17


def column_value(kind, size, value):
    if kind in ("nvarchar", "char", "varbinary"):
        if value is None:
            return b"\xff\xff"
        data = (value.encode("utf-16-le", "surrogatepass") if kind == "nvarchar"
                else value.encode("cp1252") if kind == "char" else value)
        return struct.pack("<H", len(data)) + data
    if kind == "variant":
        # Length, then the value's own type (int or nvarchar here), its
        # properties and its bytes; NULL is a length of 0. (FreeTDS 1.3's ODBC
        # driver reads one holding an int in its C type, but as text never to
        # its end: SQL_SUCCESS_WITH_INFO 01004 on every SQLGetData call.)
        if value is None:
            body = b""
        elif isinstance(value, int):
            body = bytes([0x38, 0]) + struct.pack("<i", value)
        else:
            data = value.encode("utf-16-le", "surrogatepass")
            body = bytes([0xE7, 7]) + COLLATION + struct.pack("<H", 256) + data
        return struct.pack("<I", len(body)) + body
    if value is None:
        return b"\x00"
    if kind in FLOAT_SIZES:
        return bytes([FLOAT_SIZES[kind]]) + struct.pack("<f" if kind == "real" else "<d", value)
    if kind in INT_SIZES:
        n = INT_SIZES[kind]
        return bytes([n]) + int(value).to_bytes(n, "little", signed=kind != "tinyint")
    if kind == "bit":
        return bytes([1, 1 if value else 0])
    if kind == "datetime":
        delta = value - datetime(1900, 1, 1)
        ticks = (delta.seconds * 1000 + delta.microseconds // 1000) * 3 // 10
        return bytes([8]) + struct.pack("<iI", delta.days, ticks)
    if kind == "numeric":
        n = numeric_length(size)
        return bytes([n, 1 if value >= 0 else 0]) + abs(int(value)).to_bytes(n - 1, "little")
    if kind == "guid":
        return bytes([16]) + uuid.UUID(value).bytes_le
    raise ValueError(kind)


def result_set(columns, rows, curcmd=0xC1, more=False):
    """COLMETADATA, the rows and their DONE (final unless more follows); columns are (name, kind, size)."""
    meta = bytes([0x81]) + struct.pack("<H", len(columns)) + b"".join(
        struct.pack("<IH", 0, 0x0001) + column_meta(kind, size) + b_varchar(name) for name, kind, size in columns)
    body = b"".join(bytes([0xD1]) + b"".join(column_value(kind, size, value)
                                             for (_, kind, size), value in zip(columns, row)) for row in rows)
    return meta + body + struct.pack("<BHHQ", 0xFD, DONE_COUNT | (DONE_MORE if more else 0), curcmd, len(rows))


# RESTORE HEADERONLY: one row per backup set (the columns of SQL Server 2022;
# what a client reads is by name, so the order matters only for SELECT-INTO
# scripts).
HEADER_COLUMNS = [
    ("BackupName", "nvarchar", 128), ("BackupDescription", "nvarchar", 255), ("BackupType", "smallint", 0),
    ("ExpirationDate", "datetime", 0), ("Compressed", "tinyint", 0), ("Position", "smallint", 0),
    ("DeviceType", "tinyint", 0), ("UserName", "nvarchar", 128), ("ServerName", "nvarchar", 128),
    ("DatabaseName", "nvarchar", 128), ("DatabaseVersion", "int", 0), ("DatabaseCreationDate", "datetime", 0),
    ("BackupSize", "numeric", 20), ("FirstLSN", "numeric", 25), ("LastLSN", "numeric", 25),
    ("CheckpointLSN", "numeric", 25), ("DatabaseBackupLSN", "numeric", 25), ("BackupStartDate", "datetime", 0),
    ("BackupFinishDate", "datetime", 0), ("SortOrder", "smallint", 0), ("CodePage", "smallint", 0),
    ("UnicodeLocaleId", "int", 0), ("UnicodeComparisonStyle", "int", 0), ("CompatibilityLevel", "tinyint", 0),
    ("SoftwareVendorId", "int", 0), ("SoftwareVersionMajor", "int", 0), ("SoftwareVersionMinor", "int", 0),
    ("SoftwareVersionBuild", "int", 0), ("MachineName", "nvarchar", 128), ("Flags", "int", 0),
    ("BindingID", "guid", 0), ("RecoveryForkID", "guid", 0), ("Collation", "nvarchar", 128),
    ("FamilyGUID", "guid", 0), ("HasBulkLoggedData", "bit", 0), ("IsSnapshot", "bit", 0), ("IsReadOnly", "bit", 0),
    ("IsSingleUser", "bit", 0), ("HasBackupChecksums", "bit", 0), ("IsDamaged", "bit", 0),
    ("BeginsLogChain", "bit", 0), ("HasIncompleteMetaData", "bit", 0), ("IsForceOffline", "bit", 0),
    ("IsCopyOnly", "bit", 0), ("FirstRecoveryForkID", "guid", 0), ("ForkPointLSN", "numeric", 25),
    ("RecoveryModel", "nvarchar", 60), ("DifferentialBaseLSN", "numeric", 25), ("DifferentialBaseGUID", "guid", 0),
    ("BackupTypeDescription", "nvarchar", 60), ("BackupSetGUID", "guid", 0), ("CompressedBackupSize", "bigint", 0),
    ("Containment", "tinyint", 0), ("KeyAlgorithm", "nvarchar", 32), ("EncryptorThumbprint", "varbinary", 20),
    ("EncryptorType", "nvarchar", 32),
]

FAMILY_GUID = "6f2e1c9a-8d3b-4e57-a0c4-1b2d3e4f5a6b"


def header_row(s, position):
    h = s["header"]
    start, finish = datetime.fromisoformat(h["start"]), datetime.fromisoformat(h["finish"])
    size = s["end"] - s["offset"]
    log_backup = h.get("type") == "LOG"
    values = {
        "BackupName": h.get("name") or None, "BackupDescription": h.get("description") or None,
        "BackupType": 2 if log_backup else 1,
        "Compressed": 0, "Position": position, "DeviceType": 2, "UserName": h.get("user"),
        "ServerName": h.get("server"), "DatabaseName": h["database"], "DatabaseVersion": 957,
        "DatabaseCreationDate": datetime(2024, 3, 1, 9, 0, 0), "BackupSize": size, "FirstLSN": h["first_lsn"],
        "LastLSN": h["last_lsn"], "CheckpointLSN": h["first_lsn"], "DatabaseBackupLSN": h.get("database_backup_lsn", 0),
        "BackupStartDate": start, "BackupFinishDate": finish, "SortOrder": 52, "CodePage": 0,
        "UnicodeLocaleId": 1033, "UnicodeComparisonStyle": 196609, "CompatibilityLevel": 160,
        "SoftwareVendorId": 4608, "SoftwareVersionMajor": 16, "SoftwareVersionMinor": 0,
        "SoftwareVersionBuild": 1000, "MachineName": h.get("server"), "Flags": 512 | (16 if h.get("checksums") else 0),
        "BindingID": FAMILY_GUID, "RecoveryForkID": FAMILY_GUID, "Collation": "Latin1_General_CI_AS",
        "FamilyGUID": FAMILY_GUID, "HasBulkLoggedData": False, "IsSnapshot": False, "IsReadOnly": False,
        "IsSingleUser": h.get("user_access") == "SINGLE_USER", "HasBackupChecksums": bool(h.get("checksums")), "IsDamaged": False,
        "BeginsLogChain": bool(h.get("begins_chain")), "HasIncompleteMetaData": False, "IsForceOffline": False,
        "IsCopyOnly": bool(h.get("copy_only")), "FirstRecoveryForkID": FAMILY_GUID,
        # HEADERONLY spells the middle model with a hyphen, unlike sys.databases.
        "RecoveryModel": h.get("recovery", "SIMPLE").replace("_", "-"),
        "BackupTypeDescription": "Transaction Log" if log_backup else "Database", "BackupSetGUID": h["guid"],
        "CompressedBackupSize": size,
        "Containment": 0,
    }
    return [values.get(name) for name, _, _ in HEADER_COLUMNS]


# RESTORE FILELISTONLY: one row per file of the database in the set.
FILE_COLUMNS = [
    ("LogicalName", "nvarchar", 128), ("PhysicalName", "nvarchar", 260), ("Type", "char", 1),
    ("FileGroupName", "nvarchar", 128), ("Size", "numeric", 20), ("MaxSize", "numeric", 20), ("FileId", "bigint", 0),
    ("CreateLSN", "numeric", 25), ("DropLSN", "numeric", 25), ("UniqueId", "guid", 0),
    ("ReadOnlyLSN", "numeric", 25), ("ReadWriteLSN", "numeric", 25), ("BackupSizeInBytes", "bigint", 0),
    ("SourceBlockSize", "int", 0), ("FileGroupId", "int", 0), ("LogGroupGUID", "guid", 0),
    ("DifferentialBaseLSN", "numeric", 25), ("DifferentialBaseGUID", "guid", 0), ("IsReadOnly", "bit", 0),
    ("IsPresent", "bit", 0), ("TDEThumbprint", "varbinary", 32), ("SnapshotUrl", "nvarchar", 360),
]


def file_rows(s):
    rows = []
    for n, f in enumerate(s["header"]["files"], 1):
        data = f["type"] == "D"
        values = {
            "LogicalName": f["logical"], "PhysicalName": f["physical"], "Type": f["type"],
            "FileGroupName": f.get("group"), "Size": f["size"],
            "MaxSize": 35184372080640 if data else 2199023255552, "FileId": 1 if data else 2,
            "CreateLSN": 0, "UniqueId": str(uuid.uuid5(uuid.NAMESPACE_URL, f["logical"] + "/" + str(n))),
            "BackupSizeInBytes": f["size"] // 40 // 8192 * 8192 if data else 0, "SourceBlockSize": 512,
            "FileGroupId": 1 if data else 0, "DifferentialBaseLSN": 0 if data else None,
            "DifferentialBaseGUID": "00000000-0000-0000-0000-000000000000" if data else None,
            "IsReadOnly": False, "IsPresent": True,
        }
        rows.append([values.get(name) for name, _, _ in FILE_COLUMNS])
    return rows


# The catalogue views a client may ask about the databases and their files.
VIEW_COLUMNS = {
    "databases": [("name", "nvarchar", 128), ("database_id", "int", 0), ("state", "tinyint", 0),
                  ("state_desc", "nvarchar", 60), ("user_access", "tinyint", 0),
                  ("user_access_desc", "nvarchar", 60),
                  ("recovery_model", "tinyint", 0), ("recovery_model_desc", "nvarchar", 60),
                  ("log_reuse_wait", "tinyint", 0), ("log_reuse_wait_desc", "nvarchar", 60)],
    "master_files": [("database_id", "int", 0), ("file_id", "int", 0), ("type", "tinyint", 0),
                     ("type_desc", "nvarchar", 60), ("name", "nvarchar", 128), ("physical_name", "nvarchar", 260),
                     ("state", "tinyint", 0), ("state_desc", "nvarchar", 60), ("size", "int", 0)],
    # Per database: [d].sys.allocation_units.
    "allocation_units": [("allocation_unit_id", "bigint", 0), ("type", "tinyint", 0),
                         ("type_desc", "nvarchar", 60), ("container_id", "bigint", 0), ("data_space_id", "int", 0),
                         ("total_pages", "bigint", 0), ("used_pages", "bigint", 0), ("data_pages", "bigint", 0)],
}
DATABASE_STATES = {"ONLINE": 0, "RESTORING": 1}
USER_ACCESS_MODES = {"MULTI_USER": 0, "SINGLE_USER": 1}
# Which fault kind a SELECT of each view takes besides "select".
VIEW_FAULTS = {"databases": "recovery", "master_files": "files", "allocation_units": "used"}
LOG_REUSE_WAITS = {"NOTHING": 0, "LOG_BACKUP": 2}


def view_rows(state, view, database):
    """Each row as a dict, from the catalogue (the caller holds the lock); a
    view of one database (allocation_units) shows that database's."""
    rows = []
    for name in state.all_databases():
        db_id = state.database_id(name)
        db_state = state.database_state(name)
        if view == "databases":
            recovery, wait = state.log_of(name)["recovery"], state.log_reuse_wait(name)
            rows.append({"name": name, "database_id": db_id, "state": DATABASE_STATES[db_state],
                         "state_desc": db_state, "user_access": USER_ACCESS_MODES[state.user_access(name)],
                         "user_access_desc": state.user_access(name),
                         "recovery_model": RECOVERY_MODELS[recovery], "recovery_model_desc": recovery,
                         "log_reuse_wait": LOG_REUSE_WAITS[wait], "log_reuse_wait_desc": wait})
            continue
        if view == "allocation_units":
            if name.casefold() != database.casefold():
                continue
            # One unit holds all the database's used pages; the data files'
            # extents (8 pages) are what it has reserved.
            used = state.used_pages(name)
            rows.append({"allocation_unit_id": 72057594043236352 + db_id, "type": 1, "type_desc": "IN_ROW_DATA",
                         "container_id": 72057594043236352 + db_id, "data_space_id": 1,
                         "total_pages": (used + 7) // 8 * 8, "used_pages": used, "data_pages": used})
            continue
        for n, f in enumerate(state.database_files(name), 1):
            rows.append({"database_id": db_id, "file_id": n, "type": 0 if f["type"] == "D" else 1,
                         "type_desc": "ROWS" if f["type"] == "D" else "LOG", "name": f["logical"],
                         "physical_name": f["physical"], "state": DATABASE_STATES[db_state],
                         "state_desc": db_state, "size": f["size"] // 8192})
    return rows


SELECT_CLAUSES = {"FROM", "WHERE", "ORDER"}


CAST_TYPES = {"int": ("int", 0), "bigint": ("bigint", 0), "smallint": ("smallint", 0), "tinyint": ("tinyint", 0),
              "sysname": ("nvarchar", 128), "nvarchar": ("nvarchar", 30)}  # nvarchar without (n) is 30 in CAST


def parse_select_expression(t):
    """col | SUM(col) | SERVERPROPERTY('p') | CAST(one of them AS type) -> dict(kind, name, cast or None)."""
    tok = t.take()
    function = tok[1].upper() if tok[0] == "word" and t.at_punct("(") else None
    if function == "CAST":
        t.take()
        item = parse_select_expression(t)
        t.keyword("AS")
        kind = t.take()
        if kind[0] not in ("word", "ident") or kind[1].casefold() not in CAST_TYPES:
            raise ParseError([Message(50000, 16, "The stand-in knows no CAST to %s." % kind[2])])
        item["cast"] = CAST_TYPES[kind[1].casefold()]
        if t.at_punct("("):
            t.take()
            size = t.take()
            if size[0] != "number" or item["cast"][0] != "nvarchar":
                raise syntax_error(size[2])
            item["cast"] = ("nvarchar", int(size[1]))
            t.punct(")")
        t.punct(")")
        return item
    if function in ("SUM", "SERVERPROPERTY"):
        t.take()
        argument = t.take()
        if argument[0] not in (("word", "ident") if function == "SUM" else ("string",)):
            raise syntax_error(argument[2])
        t.punct(")")
        return {"kind": "sum" if function == "SUM" else "property", "name": argument[1], "cast": None}
    if tok[0] in ("word", "ident") and function is None:
        return {"kind": "column", "name": tok[1], "cast": None}
    raise syntax_error(tok[2])


def cast_value(value, cast):
    """CAST(value AS cast) -> (value, None), or (None, the server's error) when it does not convert."""
    kind, size = cast
    if value is None:
        return None, None
    if kind == "nvarchar":
        return str(value)[:size], None
    try:
        return int(value), None
    except ValueError:
        return None, Message(245, 16, "Conversion failed when converting the nvarchar value '%s' to data type %s."
                             % (value, kind))


def parse_select_item(t):
    """An expression (see parse_select_expression), then [AS] alias -> dict(kind, name, cast, alias or None)."""
    item = parse_select_expression(t)
    item["alias"] = None
    if t.at_word("AS"):
        t.take()
        alias = t.take()
        if alias[0] not in ("word", "ident", "string"):
            raise syntax_error(alias[2])
        item["alias"] = alias[1]
    else:
        alias = t.peek()
        if alias is not None and (alias[0] == "ident" or (alias[0] == "word" and alias[1].upper() not in SELECT_CLAUSES)):
            item["alias"] = t.take()[1]
    return item


def parse_select(text):
    """SELECT items|* [FROM [[d].]sys.view [WHERE col = value [AND ...]] [ORDER BY col [ASC|DESC]]]

    An item is a column, SUM(column), SERVERPROPERTY('name') or CAST(one of
    them AS type), with an alias or not. A value is a literal, a number or DB_ID(literal). Returns dict(table
    [parts] or None without FROM, columns [items] or None for *, conditions
    [(col, value)], order (col, descending) or None)."""
    t = Tokens(tokenize(text))
    t.keyword("SELECT")
    columns = None
    if t.at_punct("*"):
        t.take()
    else:
        columns = []
        while True:
            columns.append(parse_select_item(t))
            if not t.at_punct(","):
                break
            t.take()
    parts = None
    if t.at_word("FROM"):
        t.take()
        parts = []
        while True:
            tok = t.take()
            if tok[0] not in ("word", "ident"):
                raise syntax_error(tok[2])
            parts.append(tok[1])
            if not t.at_punct("."):
                break
            t.take()
    elif columns is None:
        raise syntax_error(t.peek()[2] if t.peek() else "*")
    conditions = []
    if parts is not None and t.at_word("WHERE"):
        t.take()
        while True:
            tok = t.take()
            if tok[0] not in ("word", "ident"):
                raise syntax_error(tok[2])
            t.punct("=")
            value = t.take()
            if value[0] == "string":
                conditions.append((tok[1], ("text", value[1])))
            elif value[0] == "number":
                conditions.append((tok[1], ("number", int(float(value[1])))))
            elif value[0] == "word" and value[1].upper() == "DB_ID":
                t.punct("(")
                name = t.take()
                if name[0] != "string":
                    raise syntax_error(name[2])
                t.punct(")")
                conditions.append((tok[1], ("db_id", name[1])))
            else:
                raise syntax_error(value[2])
            if not t.at_word("AND"):
                break
            t.take()
    order = None
    if parts is not None and t.at_word("ORDER"):
        t.take()
        t.keyword("BY")
        tok = t.take()
        if tok[0] not in ("word", "ident"):
            raise syntax_error(tok[2])
        descending = False
        if t.at_word("ASC") or t.at_word("DESC"):
            descending = t.take()[1].upper() == "DESC"
        order = (tok[1], descending)
    if t.at_punct(";"):
        t.take()
    if t.peek() is not None:
        raise syntax_error(t.peek()[2])
    return {"table": parts, "columns": columns, "conditions": conditions, "order": order}


RESTORE_FLAGS = {
    "CHECKSUM", "NO_CHECKSUM", "CONTINUE_AFTER_ERROR", "STOP_ON_ERROR", "REPLACE", "RECOVERY", "NORECOVERY",
    "UNLOAD", "NOUNLOAD", "REWIND", "NOREWIND", "RESTRICTED_USER", "KEEP_REPLICATION", "KEEP_CDC",
    "ENABLE_BROKER", "NEW_BROKER", "ERROR_BROKER_CONVERSATIONS", "PARTIAL", "RESTART", "LOADHISTORY",
}
RESTORE_TEXT = {"MEDIANAME", "MEDIAPASSWORD", "PASSWORD", "STANDBY", "STOPAT"}
RESTORE_NUMBER = {"FILE", "BLOCKSIZE", "BUFFERCOUNT", "MAXTRANSFERSIZE"}
RESTORE_VERBS = {"DATABASE": "restore", "HEADERONLY": "headeronly", "FILELISTONLY": "filelistonly",
                 "VERIFYONLY": "verify"}
TERMINATING = {
    "DATABASE": "RESTORE DATABASE is terminating abnormally.",
    "HEADERONLY": "RESTORE HEADERONLY is terminating abnormally.",
    "FILELISTONLY": "RESTORE FILELIST is terminating abnormally.",
    "VERIFYONLY": "VERIFY DATABASE is terminating abnormally.",
}


def parse_restore(text):
    """RESTORE DATABASE name | HEADERONLY | FILELISTONLY | VERIFYONLY FROM DISK = lit [, ...] [WITH ...].

    Returns dict(verb, database, disks, options, moves [(logical, physical)])."""
    t = Tokens(tokenize(text))
    t.keyword("RESTORE")
    tok = t.take()
    verb = tok[1].upper() if tok[0] == "word" else None
    if verb not in RESTORE_VERBS:
        raise syntax_error(tok[2])
    database = None
    if verb == "DATABASE":
        tok = t.take()
        if tok[0] not in ("word", "ident"):
            raise syntax_error(tok[2])
        database = tok[1]
    t.keyword("FROM")
    disks = []
    while True:
        t.keyword("DISK")
        t.punct("=")
        disks.append(t.literal())
        if not t.at_punct(","):
            break
        t.take()
    options, moves = {}, []
    if t.at_word("WITH"):
        t.take()
        while True:
            tok = t.take()
            name = tok[1].upper() if tok[0] == "word" else None
            if name in RESTORE_FLAGS:
                options[name] = True
            elif name == "STATS":
                options[name] = 10
                if t.at_punct("="):
                    t.take()
                    num = t.take()
                    if num[0] != "number":
                        raise syntax_error(num[2])
                    options[name] = int(float(num[1]))
            elif name == "MOVE":
                logical = t.literal()
                t.keyword("TO")
                moves.append((logical, t.literal()))
            elif name in RESTORE_TEXT:
                t.punct("=")
                options[name] = t.literal()
            elif name in RESTORE_NUMBER:
                t.punct("=")
                num = t.take()
                if num[0] != "number":
                    raise syntax_error(num[2])
                options[name] = int(float(num[1]))
            elif tok[0] == "word":
                raise ParseError([Message(155, 15, "'%s' is not a recognized RESTORE option." % tok[1])])
            else:
                raise syntax_error(tok[2])
            if not t.at_punct(","):
                break
            t.take()
    if t.at_punct(";"):
        t.take()
    if t.peek() is not None:
        raise syntax_error(t.peek()[2])
    return {"verb": verb, "database": database, "disks": disks, "options": options, "moves": moves}


CHECKDB_OPTIONS = {"NO_INFOMSGS", "ALL_ERRORMSGS", "PHYSICAL_ONLY", "TABLOCK", "DATA_PURITY",
                   "EXTENDED_LOGICAL_CHECKS", "ESTIMATEONLY"}


def parse_checkdb(text):
    """DBCC CHECKDB [( name | N'name' | 'name' [, NOINDEX] )] [WITH option, ...] -> (name or None, options)."""
    t = Tokens(tokenize(text))
    t.keyword("DBCC")
    t.keyword("CHECKDB")
    name = None
    if t.at_punct("("):
        t.take()
        tok = t.take()
        if tok[0] not in ("word", "ident", "string"):
            raise syntax_error(tok[2])
        name = tok[1]
        if t.at_punct(","):
            t.take()
            t.keyword("NOINDEX")
        t.punct(")")
    options = set()
    if t.at_word("WITH"):
        t.take()
        while True:
            tok = t.take()
            if tok[0] != "word" or tok[1].upper() not in CHECKDB_OPTIONS:
                raise ParseError([Message(2526, 16, "Incorrect DBCC statement. Check the documentation for the "
                                                    "correct DBCC syntax and options.")])
            options.add(tok[1].upper())
            if not t.at_punct(","):
                break
            t.take()
    if t.at_punct(";"):
        t.take()
    if t.peek() is not None:
        raise syntax_error(t.peek()[2])
    return name, options


def parse_drop(text):
    """DROP DATABASE [IF EXISTS] name [, name ...] -> (if_exists, [names])."""
    t = Tokens(tokenize(text))
    t.keyword("DROP")
    t.keyword("DATABASE")
    if_exists = False
    if t.at_word("IF"):
        t.take()
        t.keyword("EXISTS")
        if_exists = True
    names = []
    while True:
        tok = t.take()
        if tok[0] not in ("word", "ident"):
            raise syntax_error(tok[2])
        names.append(tok[1])
        if not t.at_punct(","):
            break
        t.take()
    if t.at_punct(";"):
        t.take()
    if t.peek() is not None:
        raise syntax_error(t.peek()[2])
    return if_exists, names


def parse_sqlperf(text):
    """DBCC SQLPERF ( LOGSPACE ) [WITH NO_INFOMSGS] -> whether NO_INFOMSGS was given."""
    t = Tokens(tokenize(text))
    t.keyword("DBCC")
    t.keyword("SQLPERF")
    incorrect = ParseError([Message(2526, 16, "Incorrect DBCC statement. Check the documentation for the correct "
                                              "DBCC syntax and options.")])
    t.punct("(")
    tok = t.take()
    if tok[0] != "word" or tok[1].upper() != "LOGSPACE":
        raise incorrect
    t.punct(")")
    quiet = False
    if t.at_word("WITH"):
        t.take()
        if not t.at_word("NO_INFOMSGS"):
            raise incorrect
        t.take()
        quiet = True
    if t.at_punct(";"):
        t.take()
    if t.peek() is not None:
        raise syntax_error(t.peek()[2])
    return quiet


def parse_alter(text):
    """ALTER DATABASE name SET RECOVERY model | SINGLE_USER | MULTI_USER
    [WITH NO_WAIT | ROLLBACK IMMEDIATE | ROLLBACK AFTER n [SECONDS]]
    -> dict(name, option ("RECOVERY" or the access mode), model, termination:
    None, "NO_WAIT", or the seconds ROLLBACK waits (0 for IMMEDIATE)). The other
    options of ALTER DATABASE are not the stand-in's."""
    t = Tokens(tokenize(text))
    t.keyword("ALTER")
    t.keyword("DATABASE")
    tok = t.take()
    if tok[0] not in ("word", "ident"):
        raise syntax_error(tok[2])
    name = tok[1]
    t.keyword("SET")
    option = t.take()
    known = option[0] == "word" and option[1].upper() in ("RECOVERY",) + tuple(USER_ACCESS_MODES)
    if not known:
        raise ParseError([Message(50000, 16, "The stand-in knows no ALTER DATABASE ... SET %s." % option[2])])
    parsed = {"name": name, "option": option[1].upper(), "model": None, "termination": None}
    if parsed["option"] == "RECOVERY":
        model = t.take()
        if model[0] != "word" or model[1].upper() not in RECOVERY_MODELS:
            raise syntax_error(model[2])
        parsed["model"] = model[1].upper()
    if t.at_word("WITH"):
        t.take()
        if t.at_word("NO_WAIT"):
            t.take()
            parsed["termination"] = "NO_WAIT"
        else:
            t.keyword("ROLLBACK")
            if t.at_word("IMMEDIATE"):
                t.take()
                parsed["termination"] = 0
            else:
                t.keyword("AFTER")
                seconds = t.take()
                if seconds[0] != "number":
                    raise syntax_error(seconds[2])
                parsed["termination"] = int(float(seconds[1]))
                if t.at_word("SECONDS"):
                    t.take()
    if t.at_punct(";"):
        t.take()
    if t.peek() is not None:
        raise syntax_error(t.peek()[2])
    return parsed


def write_database_file(local, database, logical, origin):
    with open(local, "w", encoding="utf-8") as f:
        f.write("stand-in database file '%s' of [%s], %s\n" % (logical, database, origin))


def remove_database_files(files, drives):
    """Deletes what the server would: the files of a dropped database, where they are."""
    for f in files:
        local = map_path(f["physical"], drives)
        if local is not None and os.path.isfile(local):
            os.remove(local)


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

    def create_database(self, req):
        """A database made by someone else, its two files in "folder" (written there)."""
        state = self.state
        name, folder = req["name"], req["folder"].rstrip("\\")
        db_state = req.get("state", "ONLINE")
        if db_state not in DATABASE_STATES:
            return {"ok": False, "error": "unknown state %r" % db_state}
        with state.lock:
            if state.database_name(name) is not None:
                return {"ok": False, "error": "database %r exists" % name}
            drives = dict(state.drives)
        data, log = req.get("data", DEFAULT_SIZES[0]), req.get("log", DEFAULT_SIZES[1])
        files = [
            {"logical": name, "physical": folder + "\\" + name + ".mdf", "type": "D", "group": "PRIMARY",
             "size": int(data)},
            {"logical": name + "_log", "physical": folder + "\\" + name + "_log.ldf", "type": "L", "group": None,
             "size": int(log)},
        ]
        for f in files:
            local = map_path(f["physical"], drives)
            if local is None or not os.path.isdir(os.path.dirname(local)):
                return {"ok": False, "error": "no folder for %r on the stand-in's drives" % f["physical"]}
            write_database_file(local, name, f["logical"], "created by the control channel")
        with state.lock:
            state.add_database(name, files, db_state)
        return {"ok": True}

    def configure_database(self, req):
        """What the health checks read of one database; see "database" above."""
        state = self.state
        name = req["name"]
        recovery = req.get("recovery")
        if recovery is not None and recovery not in RECOVERY_MODELS:
            return {"ok": False, "error": "unknown recovery model %r" % recovery}
        files = None
        if "files" in req:
            files = []
            for f in req["files"]:
                if f.get("type") not in ("ROWS", "LOG"):
                    return {"ok": False, "error": "a file's type is ROWS or LOG, not %r" % f.get("type")}
                stem = re.split(r"[\\/]", f["path"])[-1].rsplit(".", 1)[0]
                data = f["type"] == "ROWS"
                files.append({"logical": f.get("logical", stem), "physical": f["path"], "type": "D" if data else "L",
                              "group": "PRIMARY" if data else None, "size": int(f["pages"]) * 8192})
        with state.lock:
            listed = state.database_name(name)
            if listed is None:
                state.databases.append(name)
                listed = name
            if files is not None:
                state.details[listed.casefold()] = {"files": files, "state": state.database_state(listed)}
            log = state.log_of(listed)
            if recovery is not None:
                log.update(recovery=recovery, chain=False, waiting=False, begins=False)
            if req.get("full_backup"):
                if log["recovery"] == "SIMPLE":
                    return {"ok": False, "error": "a database in SIMPLE keeps no log for log backups"}
                state.start_log_chain(listed, state.next_lsn(100000))
            for key, kind in (("log_size_mb", float), ("log_used_pct", float), ("used_pages", int)):
                if key in req:
                    log[key] = None if req[key] is None else kind(req[key])
        return {"ok": True}

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
                    listed = {d.casefold() for d in state.databases} | set(SYSTEM_DATABASES)
                    state.details = {k: v for k, v in state.details.items() if k in listed}
                    state.logs = {k: v for k, v in state.logs.items() if k in listed}
                    for table in (state.access, state.users_of, state.contents):
                        for key in [k for k in table if k not in listed]:
                            del table[key]
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
            fault, on = req.get("fault"), req.get("on") or None
            if fault not in FAULT_TARGETS:
                return {"ok": False, "error": "unknown fault %r" % fault}
            if on is not None and fault not in FAULT_KINDS_ON.get(on, ()):
                return {"ok": False, "error": "fault %r cannot apply to %r" % (fault, on)}
            if on is None and not FAULT_TARGETS[fault]:
                return {"ok": False, "error": "fault %r needs \"on\"" % fault}
            with state.lock:
                state.faults.append(dict(req, on=on))
            return {"ok": True}
        if cmd == "sizes":
            with state.lock:
                state.sizes[req["database"].casefold()] = (int(req["data"]), int(req["log"]))
            return {"ok": True}
        if cmd == "create_database":
            return self.create_database(req)
        if cmd == "database":
            return self.configure_database(req)
        if cmd == "edition":
            with state.lock:
                for key in ("engine_edition", "product_version", "edition"):
                    if key in req:
                        state.edition[key] = int(req[key]) if key == "engine_edition" else str(req[key])
            return {"ok": True}
        if cmd == "damage":
            with state.lock:
                drives = dict(state.drives)
            path = map_path(req["file"], drives)
            if path is None or not os.path.isfile(path):
                return {"ok": False, "error": "no file %r on the stand-in's drives" % req["file"]}
            damage(path, int(req.get("set", 0)), req.get("how", "bytes"))
            return {"ok": True}
        if cmd == "connections":
            with state.lock:
                database = state.database_name(req["database"])
                count = int(req["count"])
                if database is None or database.casefold() in SYSTEM_DATABASES:
                    return {"ok": False, "error": "no user database %r" % req["database"]}
                if count < 0 or (count > 1 and state.user_access(database) == "SINGLE_USER"):
                    return {"ok": False, "error": "%d other connections cannot use %s database %r"
                                                  % (count, state.user_access(database), database)}
                state.users_of[database.casefold()] = count
            return {"ok": True}
        if cmd == "content":
            with state.lock:
                database = state.database_name(req["database"])
                if database is None:
                    return {"ok": False, "error": "no database %r" % req["database"]}
                state.contents[database.casefold()] = str(req["text"])
            return {"ok": True}
        if cmd == "data_path":
            path = req.get("path")
            if path is not None and not path.endswith("\\"):
                return {"ok": False, "error": "the server names a folder with its final backslash, not %r" % path}
            with state.lock:
                state.data_path = path
            return {"ok": True}
        if cmd == "catalog":
            with state.lock:
                return {"ok": True, "databases": [
                    {"name": name, "state": state.database_state(name), "user_access": state.user_access(name),
                     "connections": state.other_users(name), "content": state.contents.get(name.casefold(), ""),
                     "files": [dict(f, local=map_path(f["physical"], state.drives) or "")
                               for f in state.database_files(name)]}
                    for name in state.databases]}
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
