// quellix-setup undo RUN-ID [--mailbox ADDRESS] [--json]: puts back what a
// move run moved, message by message, and says what it could not.
#pragma once

namespace setup {

// Parses the arguments from first on and runs the command. Returns the exit
// code: 0 everything that could be put back is, 1 a message failed or the
// run or the address is unknown, 2 bad usage.
int UndoCommand(int argc, char** argv, int first);

}  // namespace setup
