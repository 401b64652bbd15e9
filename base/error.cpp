#include "base/error.h"

namespace platform {

Error::Error(int32_t number, std::string description, std::string source)
    : std::runtime_error(description),
      number_(number),
      description_(std::move(description)),
      source_(std::move(source)) {}

std::string Describe(const std::string& operation, const std::string& object,
                     const std::string& reason, long code) {
    return operation + "(" + object + ") failed: " + reason + " (" + std::to_string(code) + ")";
}

}  // namespace platform
