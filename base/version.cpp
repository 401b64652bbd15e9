#include "base/version.h"

#include <cstdio>

#include "base/exit_codes.h"

namespace platform {

const char* Version() {
    return QUELLIX_VERSION;  // the build's compile definition (base/CMakeLists.txt)
}

bool IsVersionOption(std::string_view word) {
    return word == "--version" || word == "-V";
}

int PrintVersion(const char* program) {
    std::printf("%s %s\n", program, Version());
    return kExitOk;
}

}  // namespace platform
