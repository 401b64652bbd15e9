#!/usr/bin/env python3
"""The lean IMAP client: the floor a cleanup run over IMAP is measured against.

For every user of USERS_FILE (one login a line) it opens one connection to
the server on loopback, logs in as that user through the master user (LOGIN
"user*MASTER", as a run does), and removes every message of FOLDER received
at or before CUTOFF (Unix seconds), all in one write after the greeting:

  a LOGIN "user*MASTER" PASSWORD
  b SELECT FOLDER
  c UID SEARCH RETURN (SAVE) OLDER N      N = now - CUTOFF, when it is sent
  d UID STORE $ +FLAGS.SILENT (\\Deleted)
  e UID EXPUNGE $
  f LOGOUT

SEARCHRES ($, RFC 5182) lets the STORE and the EXPUNGE name the search's
result without waiting for it, WITHIN (OLDER, RFC 5032) searches by the
received time to the second: one round trip per mailbox. Every reply is
read and every command must succeed; a server without SEARCHRES or WITHIN
is refused. With --connections N, N threads take the users in turn, each
with its connection of the moment (the waits overlap, as a run's workers'
do). Prints "mailboxes=N expunged=M" on success, exits 1 naming the user
and the server's answer otherwise.

usage: bench-imap-floor.py --port P --users-file F --master M
                           --password-file F --folder NAME --cutoff UNIX
                           [--connections N] [--timeout SECONDS]
"""
import argparse
import socket
import sys
import threading
import time


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Failed(Exception):
    pass


def fail(user, why):
    raise Failed("bench-imap-floor: %s: %s" % (user, why))


def clean_mailbox(args, user, password):
    conn = socket.create_connection(("127.0.0.1", args.port), timeout=args.timeout)
    reader = conn.makefile("rb")
    try:
        greeting = reader.readline()
        if not greeting.startswith(b"* OK"):
            fail(user, "greeting %r" % greeting[:200])
        older = max(0, int(time.time()) - args.cutoff)
        conn.sendall(
            ("a LOGIN %s %s\r\n" % (quoted(user + "*" + args.master), quoted(password)) +
             "b SELECT %s\r\n" % quoted(args.folder) +
             "c UID SEARCH RETURN (SAVE) OLDER %d\r\n" % older +
             "d UID STORE $ +FLAGS.SILENT (\\Deleted)\r\n"
             "e UID EXPUNGE $\r\n"
             "f LOGOUT\r\n").encode())
        expunged = 0
        pending = {"a", "b", "c", "d", "e", "f"}
        while pending:
            line = reader.readline()
            if not line:
                fail(user, "the server closed the connection before answering %s" %
                     " ".join(sorted(pending)))
            if line.startswith(b"* ") and line.rstrip().endswith(b" EXPUNGE"):
                expunged += 1
                continue
            tag, _, rest = line.decode("utf-8", "replace").partition(" ")
            if tag in pending:
                pending.discard(tag)
                if not rest.startswith("OK"):
                    fail(user, "command %s: %s" % (tag, rest.strip()[:300]))
        return expunged
    finally:
        reader.close()
        conn.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--users-file", required=True)
    ap.add_argument("--master", required=True)
    ap.add_argument("--password-file", required=True)
    ap.add_argument("--folder", required=True)
    ap.add_argument("--cutoff", type=int, required=True)
    ap.add_argument("--timeout", type=float, default=60, help="bound of every wait, seconds")
    ap.add_argument("--connections", type=int, default=1, help="users cleaned at once")
    args = ap.parse_args()
    with open(args.password_file, encoding="utf-8") as f:
        password = f.read().strip()
    with open(args.users_file, encoding="utf-8") as f:
        users = [line.strip() for line in f if line.strip()]
    lock = threading.Lock()
    state = {"next": 0, "expunged": 0, "failed": None}

    def work():
        while True:
            with lock:
                if state["failed"] or state["next"] >= len(users):
                    return
                user = users[state["next"]]
                state["next"] += 1
            try:
                n = clean_mailbox(args, user, password)
            except OSError as e:
                n, why = 0, "bench-imap-floor: %s: 127.0.0.1:%d: %s" % (user, args.port, e)
            except Failed as e:
                n, why = 0, str(e)
            else:
                why = None
            with lock:
                state["expunged"] += n
                if why and not state["failed"]:
                    state["failed"] = why

    threads = [threading.Thread(target=work) for _ in range(max(1, args.connections))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if state["failed"]:
        sys.exit(state["failed"])
    print("mailboxes=%d expunged=%d" % (len(users), state["expunged"]))


if __name__ == "__main__":
    main()
