#include "localplatform/config/config_option.h"

#include <cstdlib>
#include <cstring>

namespace localplatform {

int TakeConfigOption(int argc, char** argv, int first) {
    if (first + 1 < argc && std::strcmp(argv[first], "--config") == 0) {
        setenv("QUELLIX_CONFIG", argv[first + 1], 1);
        return first + 2;
    }
    return first;
}

}  // namespace localplatform
