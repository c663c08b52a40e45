#pragma once
// The module framework's exception: thrown where binding the bus or one of its libraries fails,
// caught by the factories before it could reach a host.

#include <stdexcept>

namespace Korin {

class ModuleException : public std::runtime_error {
public:
    explicit ModuleException(const char* what) : std::runtime_error(what) {}
};

}  // namespace Korin
