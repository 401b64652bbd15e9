// A Maildir folder's keywords as Dovecot keeps them: the file
// "dovecot-keywords" in the folder holds lines "<index> <name>", index 0 to
// 25 standing for the letters 'a' to 'z' in the info part of its files'
// names (":2,FSab"). Each folder has a list of its own, so a letter names
// one keyword in one folder and another, or none, in the next: a message
// that changes folders changes its letters.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace localplatform {

class MaildirKeywords {
public:
    // The list of the folder whose directory is open at dir: empty when it
    // has none (a folder without keywords). Raises platform::Error
    // (kPathFileAccess), naming the file by what, when it cannot be read.
    static MaildirKeywords Read(int dir, const std::string& what);
    // The list a dovecot-keywords file's text gives; lines that are no
    // "<index> <name>" of an index below 26 are passed over.
    static MaildirKeywords Parse(const std::string& text);

    // The flags of a message file of this folder named fileName, as
    // MailStoreMessage holds them: its system flags' letters, then the
    // keyword of each lower-case letter the list names ("FS $Junk"). A letter
    // the list does not name is no keyword.
    [[nodiscard]] std::string FlagsOf(const std::string& fileName) const;

    // The letter of keyword name (compared as Dovecot does: exactly); nothing
    // when the list has none.
    [[nodiscard]] std::optional<char> LetterOf(const std::string& name) const;

    // Adds names the list lacks, under the lock file Dovecot takes
    // ("dovecot-keywords.lock", waited for up to lockWait, then raising
    // err::kResourceLocked naming the file and the setting lockSetting): the
    // list is read again, written whole into the lock file and renamed over
    // the old one. Names beyond the 26 letters are not added. Returns the
    // list as written.
    static MaildirKeywords Add(int dir, const std::vector<std::string>& names,
                               const std::string& what, std::chrono::milliseconds lockWait,
                               const std::string& lockSetting);

private:
    std::array<std::string, 26> names_;
};

// The letters of the info part (after ":2,") that give a message the flags
// flags (MailStoreMessage's text) in the folder whose directory is open at
// dir: system letters as they are, then the folder's letter of each
// keyword, added to the list (MaildirKeywords::Add) when it lacks one. A
// keyword beyond the 26 letters is not carried, as Dovecot keeps such a
// keyword out of file names too. what names the folder for errors.
[[nodiscard]] std::string InfoLetters(int dir, const std::string& flags, const std::string& what,
                                      std::chrono::milliseconds lockWait,
                                      const std::string& lockSetting);

}  // namespace localplatform
