// The IMAP backend of a mapped namespace: the mailboxes of an IMAP server
// (Dovecot, Cyrus), one logged-in session per mailbox login, the four used
// most lately kept open, each login's folders listed once while its session
// lasts (until ForgetListings).
//
// Location "imap://host[:port]" (143) or "imaps://host[:port]" (993). The
// login of mailbox alias is the "login" template (%n alias, %d namespace,
// %% a "%"); "auth" says how it logs in: "plain" as that login with the
// password of "password_file", "master" as a Dovecot master user ("admin"),
// "proxy" as "admin" acting for the login (SASL PLAIN authorization
// identity: Cyrus admins, Dovecot master users). The password is read from
// its file, private to its owner, when the first session opens.
//
// A message's key is "<UIDVALIDITY>.<UID>" in decimal (a UID names one
// message only while its folder's UIDVALIDITY stays: a key from before the
// folder was made anew names no message), its received time INTERNALDATE,
// its size RFC822.SIZE, its flags Maildir's letters for the system flags
// ($Forwarded is "P"). The Inbox is INBOX; other folders are named from the
// top of the login's hierarchy.
//
// Deletes are gathered per folder and done at Flush: STORE \Deleted and UID
// EXPUNGE of exactly those UIDs, sent together with a UID FETCH that tells
// which of them were gone already. A move inside one login is UID MOVE (UID
// COPY and UID EXPUNGE without MOVE); between logins there is no one step,
// and the item store copies and removes under its move manifest. The server
// cannot list its logins: Mailboxes() is empty, and FindMailbox logs in to
// find one; a login the server refuses is no mailbox (IMAP does not say
// whether the user or the password was wrong), and WhyNoMailbox keeps the
// server's answer for the error of the folder not reached; neither is a
// login that lists no Inbox.
#pragma once

#include <memory>

#include "localplatform/store/mail_store.h"

namespace localplatform {

// The IMAP backend of settings.location (an "imap://" or "imaps://" one).
// Raises err::kInvalidArg naming the setting's source and value for a
// location or setting it cannot take. Nothing is connected yet.
[[nodiscard]] std::unique_ptr<MailStore> OpenImapStore(const MailStoreSettings& settings);

}  // namespace localplatform
