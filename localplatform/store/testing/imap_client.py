#!/usr/bin/python3
"""A small IMAP client for the test mail servers, doing what a user's client
does: create a folder, APPEND a message with an INTERNALDATE and flags, and
list what a folder holds. The password comes from a file, never the command
line; a login of the form "user*master" or an AUTHZID (PLAIN with an
authorization identity) acts for another user.

usage: imap_client.py [ADDRESS:]PORT LOGIN PASSWORD_FILE [--as AUTHZID] COMMAND ...
  create FOLDER
  append FOLDER      messages on standard input, each a line "SIZE
                    RECEIVED_UNIX [FLAGS]" and then SIZE bytes; prints the
                    UID of each, a line each
  fetch FOLDER      one line per message: uid, INTERNALDATE (Unix seconds),
                    size, flags, Message-ID, separated by tabs
FOLDER is UTF-8 with "/" between levels, from the top of the user's own
namespace (NAMESPACE's personal prefix, "INBOX." on a Cyrus without its
alternate namespace, goes before it); "" is the Inbox.
"""
import base64
import imaplib
import re
import sys
import time


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


def quoted(name, namespaces):
    """The server's name of a folder of the user's own namespace; a name
    already in another namespace (an administrator's "user/jdoe") is kept."""
    if name in ("", "INBOX"):
        return "INBOX"
    prefix, delimiter, others = namespaces
    encoded = modified_utf7(name.replace("/", delimiter))
    if not any(encoded.startswith(o) for o in others if o):
        encoded = prefix + encoded
    return '"' + encoded.replace("\\", "\\\\").replace('"', '\\"') + '"'


def connect(server, login, password_file, authzid):
    with open(password_file, encoding="utf-8") as f:
        password = f.read().strip()
    address, _, port = server.rpartition(":")
    imap = imaplib.IMAP4(address or "127.0.0.1", int(port), timeout=30)
    if authzid:
        token = (authzid + "\0" + login + "\0" + password).encode()
        imap.authenticate("PLAIN", lambda _: token)
    else:
        imap.login(login, password)
    return imap


def namespaces_of(imap):
    """(personal prefix, its delimiter, other namespaces' prefixes), from
    NAMESPACE, or LIST's delimiter alone without it."""
    typ, data = imap.namespace()
    if typ == "OK" and data and data[0]:
        groups = re.findall(rb'NIL|\(\(.*?\)\)', data[0])
        entries = [re.findall(rb'\("((?:[^"\\]|\\.)*)" (?:"(.)"|NIL)', g) for g in groups]
        if len(entries) == 3 and entries[0]:
            prefix, delimiter = entries[0][0]
            others = [p.decode() for group in entries[1:] for p, _ in group]
            return prefix.decode(), (delimiter or b"/").decode(), others
    typ, listing = imap.list('""', '""')
    if typ == "OK" and listing and listing[0]:
        found = re.match(rb'\(.*?\) "(.)"', listing[0])
        if found:
            return "", found.group(1).decode(), []
    return "", ".", []


def create(imap, mailbox, folder):
    if mailbox == "INBOX":
        return
    typ, data = imap.create(mailbox)
    # Dovecot says [ALREADYEXISTS]; Cyrus only "Mailbox already exists".
    said = b" ".join(d or b"" for d in data).lower()
    if typ != "OK" and b"alreadyexists" not in said and b"already exists" not in said:
        sys.exit("create %s: %s" % (folder, data))


def fetch(imap, mailbox, folder):
    typ, data = imap.select(mailbox, readonly=True)
    if typ != "OK":
        sys.exit("select %s: %s" % (folder, data))
    if int(data[0]) == 0:
        return
    typ, data = imap.uid(
        "FETCH", "1:*", "(UID INTERNALDATE RFC822.SIZE FLAGS BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])")
    if typ != "OK":
        sys.exit("fetch %s: %s" % (folder, data))
    for item in data:
        if not isinstance(item, tuple):
            continue
        meta, header = item[0].decode(), item[1].decode(errors="replace")
        uid = re.search(r"UID (\d+)", meta).group(1)
        size = re.search(r"RFC822\.SIZE (\d+)", meta).group(1)
        flags = re.search(r"FLAGS \(([^)]*)\)", meta).group(1)
        flags = " ".join(f for f in flags.split() if f != "\\Recent")
        received = int(time.mktime(imaplib.Internaldate2tuple(item[0])))
        message_id = header.split(":", 1)[1].strip() if ":" in header else ""
        print("\t".join([uid, str(received), size, flags, message_id]))


def main(argv):
    port, login, password_file = argv[0], argv[1], argv[2]
    argv = argv[3:]
    authzid = ""
    if argv[:1] == ["--as"]:
        authzid, argv = argv[1], argv[2:]
    command, folder = argv[0], argv[1]
    imap = connect(port, login, password_file, authzid)
    mailbox = quoted(folder, namespaces_of(imap))
    if command == "create":
        create(imap, mailbox, folder)
    elif command == "append":
        create(imap, mailbox, folder)
        source = sys.stdin.buffer
        while True:
            head = source.readline()
            if not head:
                break
            size, received, *flags = head.decode().rstrip("\n").split(" ", 2)
            message = source.read(int(size))
            typ, data = imap.append(mailbox, "(" + " ".join(flags) + ")",
                                    imaplib.Time2Internaldate(int(received)), message)
            if typ != "OK":
                sys.exit("append %s: %s" % (folder, data))
            uid = re.search(rb"APPENDUID \d+ (\d+)", data[0])
            if not uid:
                sys.exit("append %s: no APPENDUID in %s" % (folder, data))
            print(uid.group(1).decode())
    elif command == "fetch":
        fetch(imap, mailbox, folder)
    else:
        sys.exit("unknown command " + command)
    imap.logout()


if __name__ == "__main__":
    main(sys.argv[1:])
