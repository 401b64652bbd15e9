// The error state of skip-and-continue code: Run(step) performs the step
// and, when it raises, records the error and returns false so that the
// caller continues with the next step. Number() is 0 while no step has
// failed since Clear().
#pragma once

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "base/error.h"

namespace platform {

class ErrorState {
public:
    template <class Step>
    bool Run(Step&& step) {
        try {
            step();
            return true;
        } catch (const platform::Error& e) {
            Set(e.Number(), e.Description());
        } catch (const std::bad_alloc&) {
            Set(platform::err::kOutOfMemory, "Out of memory");
        } catch (const std::exception& e) {
            Set(platform::err::kFail, e.what());
        }
        return false;
    }
    void Set(int32_t number, std::string description) {
        number_ = number;
        description_ = std::move(description);
    }
    void Clear() { Set(0, {}); }
    [[nodiscard]] int32_t Number() const { return number_; }
    [[nodiscard]] const std::string& Description() const { return description_; }

private:
    int32_t number_ = 0;
    std::string description_;
};

}  // namespace platform
