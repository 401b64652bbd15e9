# Sourced by demo.sh --dovecot: a private Dovecot for the demo server's
# mailboxes. Its configuration, mail and sockets live in "$state/dovecot" and
# "$state/mail"; it serves IMAP on a free loopback port, and it stops when the
# demo ends. The users' mailboxes (with Spam, Spam/Older) are made by Dovecot,
# as a mail server makes them; the platform configuration maps the demo's
# namespace to their Maildirs.

dovecot_conf="$state/dovecot/dovecot.conf"

dovecot_start() {
  local domain=$1; shift
  local dir="$state/dovecot" mail="$state/mail" user group port
  mkdir -p "$dir/run" "$mail"
  # Dovecot never reads mail as root: run as root, the mail is nobody's, and
  # Quellix (root) writes into it as the mailbox's owner.
  if [ "$(id -u)" -eq 0 ]; then
    user=nobody; group=$(id -gn nobody)
    chmod 711 "$state"
    chown "$user:$group" "$mail"
  else
    user=$(id -un); group=$(id -gn)
  fi
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null || echo 10143)
  : > "$dir/passwd"
  for alias in "$@"; do
    # Nobody logs in during the demo: each user gets a random password.
    echo "$alias@$domain:{PLAIN}$(head -c 12 /dev/urandom | base64 | tr -d '/+='):::::: " >> "$dir/passwd"
  done
  chmod 644 "$dir/passwd"
  {
    echo "base_dir = $dir/run"
    echo "state_dir = $dir/state"
    echo "instance_name = quellix-demo"
    echo "log_path = $dir/dovecot.log"
    echo "protocols = imap"
    echo "listen = 127.0.0.1"
    echo "ssl = no"
    echo "mail_location = maildir:$mail/%d/%n/Maildir"
    echo "first_valid_uid = 1"
    echo "passdb {"
    echo "  driver = passwd-file"
    echo "  args = scheme=PLAIN $dir/passwd"
    echo "}"
    echo "userdb {"
    echo "  driver = static"
    echo "  args = uid=$user gid=$group home=$mail/%d/%n"
    echo "}"
    echo "service imap-login {"
    echo "  inet_listener imap {"
    echo "    address = 127.0.0.1"
    echo "    port = $port"
    echo "  }"
    echo "  inet_listener imaps {"
    echo "    port = 0"
    echo "  }"
    [ "$(id -u)" -eq 0 ] || echo "  chroot ="
    echo "}"
    if [ "$(id -u)" -ne 0 ]; then
      echo "default_internal_user = $user"
      echo "default_internal_group = $group"
      echo "default_login_user = $user"
      echo "service anvil {"
      echo "  chroot ="
      echo "}"
    fi
  } > "$dovecot_conf"
  /usr/sbin/dovecot -c "$dovecot_conf" || {
    echo "demo: dovecot did not start; its log:" >&2
    cat "$dir/dovecot.log" >&2 2>/dev/null
    return 1
  }
  trap 'doveadm -c "$dovecot_conf" stop >/dev/null 2>&1 || true' EXIT
  echo "demo: a private Dovecot serves IMAP on 127.0.0.1:$port (configuration $dovecot_conf)"
}

# The mailbox of alias with the given folders ("." separates levels in
# Dovecot's Maildir++ names).
dovecot_make_mailbox() {
  local login=$1; shift
  doveadm -c "$dovecot_conf" mailbox create -u "$login" "$@"
}

dovecot_show() {
  local domain=$1 title=$2; shift 2
  echo
  echo "$title, as Dovecot sees it (doveadm fetch):"
  for alias in "$@"; do
    doveadm -c "$dovecot_conf" -f tab fetch -u "$alias@$domain" "mailbox date.received hdr.subject" \
        mailbox Spam OR mailbox Spam.Older OR mailbox INBOX 2>/dev/null |
      awk -F'\t' -v who="$alias" 'NR > 1 { n[who " " $1]++ } END { for (k in n) printf "  %s: %d messages\n", k, n[k] }' |
      sort
  done
}
