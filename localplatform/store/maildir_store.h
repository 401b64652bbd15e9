// The Maildir backend of a mapped namespace: the mailboxes a Dovecot (or any
// Maildir server) keeps on this machine's file system, read and changed in
// place. POSIX only.
//
// Location "maildir:<path template>[:LAYOUT=fs][:UTF-8]": %d the namespace,
// %n the mailbox alias, %% a "%". Maildir++ (the default): the Inbox is the
// mailbox root's cur/ and new/, folder "A/B" the directory ".A.B"; a "."
// inside a folder name cannot be written (it is the hierarchy separator).
// LAYOUT=fs: folder "A/B" is the directory "A/B", each with cur/ new/ tmp/;
// "cur", "new" and "tmp" are no folder names there. Names on disk are
// modified UTF-7 as Dovecot writes them, unless ":UTF-8" says UTF-8.
//
// A message's key is its file name up to the ":2," info part, its received
// time the file's mtime (Dovecot's received date), its size the file's size.
// Dovecot's index, cache and uidlist files are never written: Dovecot finds
// the changes when it next reads the folder. Nothing below the mailbox root
// is reached through a symbolic link.
#pragma once

#include <memory>
#include <string>

#include "localplatform/store/mail_store.h"

namespace localplatform {

// The Maildir backend of settings.location (a "maildir:" one). Raises
// err::kInvalidArg naming the setting's source and value for a template or
// option it cannot take.
[[nodiscard]] std::unique_ptr<MailStore> OpenMaildirStore(const MailStoreSettings& settings);

}  // namespace localplatform
