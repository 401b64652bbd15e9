#!/usr/bin/python3
"""Puts one message into a folder of a test Dovecot over IMAP, as a client
would: APPEND with an INTERNALDATE and flags, creating the folder first when
it is missing. The message comes on standard input; the UID the server gave
(APPENDUID) goes to standard output. The password comes from a file, never
the command line.

usage: imap_append.py PORT LOGIN PASSWORD_FILE FOLDER RECEIVED_UNIX [FLAGS]
       imap_append.py --create PORT LOGIN PASSWORD_FILE FOLDER
FOLDER is UTF-8 with "/" between levels; "" is the Inbox.
"""
import base64
import imaplib
import re
import sys


def modified_utf7(name):
    """IMAP's modified UTF-7 (RFC 3501, 5.1.3)."""
    out, run = [], ""

    def flush():
        nonlocal run
        if run:
            b64 = base64.b64encode(run.encode("utf-16-be")).decode().rstrip("=")
            out.append("&" + b64.replace("/", ",") + "-")
            run = ""

    for ch in name:
        if 0x20 <= ord(ch) <= 0x7E:
            flush()
            out.append("&-" if ch == "&" else ch)
        else:
            run += ch
    flush()
    return "".join(out)


def quoted(name, delimiter):
    if name in ("", "INBOX"):
        return "INBOX"
    encoded = modified_utf7(name.replace("/", delimiter))
    return '"' + encoded.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main(argv):
    create_only = argv[:1] == ["--create"]
    if create_only:
        argv = argv[1:]
    port, login, password_file, folder = argv[0], argv[1], argv[2], argv[3]
    with open(password_file, encoding="utf-8") as f:
        password = f.read().strip()
    imap = imaplib.IMAP4("127.0.0.1", int(port), timeout=30)
    imap.login(login, password)
    typ, listing = imap.list('""', '""')
    delimiter = "."
    if typ == "OK" and listing and listing[0]:
        found = re.match(rb'\(.*?\) "(.)"', listing[0])
        if found:
            delimiter = found.group(1).decode()
    mailbox = quoted(folder, delimiter)
    if mailbox != "INBOX":
        typ, data = imap.create(mailbox)
        if typ != "OK" and b"ALREADYEXISTS" not in b" ".join(data):
            sys.exit("create %s: %s" % (folder, data))
    if create_only:
        imap.logout()
        return
    received = int(argv[4])
    flags = "(" + (argv[5] if len(argv) > 5 else "") + ")"
    message = sys.stdin.buffer.read()
    typ, data = imap.append(mailbox, flags, imaplib.Time2Internaldate(received), message)
    if typ != "OK":
        sys.exit("append %s: %s" % (folder, data))
    uid = re.search(rb"APPENDUID \d+ (\d+)", data[0])
    if not uid:
        sys.exit("append %s: no APPENDUID in %s" % (folder, data))
    print(uid.group(1).decode())
    imap.logout()


if __name__ == "__main__":
    main(sys.argv[1:])
