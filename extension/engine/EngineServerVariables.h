#pragma once

#include <string>

#include "extension/url/IServerVariables.h"

// The current request's server variables as the engine gives them: through the
// server interface's environment lookup when it has one, otherwise (the
// built-in web server has none) from the request's $_SERVER array as the
// server interface filled it. Values end at their first NUL byte.
class EngineServerVariables : public IServerVariables {
public:
    // The process's one instance; the URL manager reads through it.
    static const EngineServerVariables& instance();

    bool lookup(const std::string& name, std::string& value) const override;
};
