// quellix-setup history: the recorded runs, newest first, with their
// folders; reads the run history only (neither the directory nor the store).
#pragma once

#include <cstddef>
#include <string>

namespace setup {

// Shows at most last runs (0: all), with a mailbox only the runs and folders
// of that address; as JSON with json. Returns the exit code.
int HistoryCommand(size_t last, const std::string& mailbox, bool json);

}  // namespace setup
