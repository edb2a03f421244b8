#pragma once

#include <string>

// Read access to the current request's server variables ("HTTP_HOST",
// "REQUEST_URI", "HTTPS", the incoming correlation header ...). The engine
// extension fills it from the server interface's environment lookup, or from
// the request's $_SERVER array where the server interface has no such lookup;
// tests use a map. Values are the server's bytes, unchecked.
class IServerVariables {
public:
    virtual ~IServerVariables() = default;

    // True when the variable is set for the current request; its bytes (possibly
    // none) are then in `value`. False leaves `value` unspecified.
    virtual bool lookup(const std::string& name, std::string& value) const = 0;
};
