# What the package tests share: a marked mailbox's directory entry, an old
# junk message, the timer's next instant and a firing of the event service.
# Sourced by the tests; they run as root with the packages installed.

fail() { echo "$(basename "$0"): $*" >&2; exit 1; }

scratch=${AUTOPKGTEST_TMP:-$(mktemp -d)}

# ann, marked for cleanup, homed on EXCH01.
write_users_ldif() {
  cat > "$scratch/users.ldif" <<LDIF
dn: CN=Ann Arbor,CN=Users,DC=example,DC=org
objectClass: top
objectClass: person
objectClass: organizationalPerson
objectClass: user
cn: Ann Arbor
sn: Arbor
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=org
sAMAccountName: ann
mailNickname: ann
mail: ann@example.org
msExchMailboxGuid: package-test-1
msExchHomeServerName: /o=Org/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=EXCH01
extensionAttribute8: Quellix
LDIF
  printf 'From: a@b.example\r\nTo: ann@example.org\r\nSubject: old junk\r\n\r\nbuy\r\n' \
    > "$scratch/junk.eml"
}

# The password file is the administrator's alone, or setup refuses it.
write_password() { (umask 077 && printf 'secret\n' > "$scratch/password"); }

# The first whole minute at least 20 s ahead, in seconds since the epoch;
# the setup program takes it as a time of day in the machine's zone.
next_minute() { echo $(( ($(date -u +%s) + 20) / 60 * 60 + 60 )); }
time_of_day() { LC_ALL=C date -d "@$1" '+%-I:%M %p'; }

# Registers the daily cleanup of Spam, starting at the instant $2, run as
# the account $1.
install_cleanup() {
  write_password
  quellix-setup --module /usr/lib/quellix/Quellix.so install --identity "$1" \
    --password-file "$scratch/password" --folder Spam --age 14 --run "Every day" \
    --start "$(time_of_day "$2")" --report-to "postmaster@example.org" >/dev/null
}

# Waits for the instant $1 and fires what is due then, as the service does;
# the run's line in the history is left in $scratch/history.txt.
fire() {
  quellix-eventd --once "$(date -u -d "@$1" +%Y-%m-%dT%H:%M:%SZ)"
  quellix-setup history --last 1 | tee "$scratch/history.txt"
}

# A free port on loopback: the testbed shares the host's network.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A receiving SMTP server on loopback port $1: each message it takes is
# written, after its envelope's recipients, to $scratch/received.txt. Its
# pid is left in smtp_pid.
start_smtp_sink() {
  cat > "$scratch/smtp-sink.py" <<'PY'
import asyncore, smtpd, sys
class Sink(smtpd.SMTPServer):
    def process_message(self, peer, mailfrom, rcpttos, data, **kwargs):
        with open(sys.argv[2], "ab") as out:
            out.write(("X-RcptTo: " + ",".join(rcpttos) + "\n").encode() + data + b"\n")
Sink(("127.0.0.1", int(sys.argv[1])), None, decode_data=False)
asyncore.loop()
PY
  python3 -W ignore "$scratch/smtp-sink.py" "$1" "$scratch/received.txt" \
    > "$scratch/smtp-sink.log" 2>&1 &
  smtp_pid=$!
}

# Whether a report to $1 arrived there (within 10 s).
report_arrived() {
  for _ in $(seq 1 20); do
    grep -q '^Subject: Quellix Report' "$scratch/received.txt" 2>/dev/null &&
      grep -qi "^X-RcptTo: .*$1" "$scratch/received.txt" && return 0
    sleep 0.5
  done
  cat "$scratch/received.txt" "$scratch/smtp-sink.log" >&2 2>/dev/null || true
  return 1
}

# Starts slapd on the LDAP URI $1 and the ldapi socket, and waits (up to
# 10 s) until it answers there.
start_slapd() {
  install -d -o openldap -g openldap /run/slapd
  slapd -h "$1/ ldapi:///" -u openldap -g openldap
  for _ in $(seq 1 100); do
    ldapsearch -Q -Y EXTERNAL -H ldapi:/// -b cn=config -s base dn >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "slapd does not answer on ldapi:///"
}

# Saves a message with Message-ID <$2@b.example> and subject $3 into $1's
# Junk through Dovecot, received $4 days ago (a Maildir file's time is its
# arrival; Dovecot reads it again).
save_junk() {
  printf 'From: a@b.example\r\nTo: %s\r\nSubject: %s\r\nMessage-ID: <%s@b.example>\r\n\r\nbuy\r\n' \
    "$1" "$3" "$2" | doveadm save -u "$1" -m Junk
  file=$(grep -l "^Message-ID: <$2@b.example>" "/var/vmail/${1#*@}/${1%@*}/Maildir/.Junk"/*/*)
  touch -d "@$(($(date +%s) - $4 * 86400))" "$file"
  doveadm force-resync -u "$1" Junk
}
