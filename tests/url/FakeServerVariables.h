#pragma once

#include "extension/url/IServerVariables.h"

#include <map>
#include <string>

// Server variables of a test request, held in a map.
class FakeServerVariables : public IServerVariables {
public:
    bool lookup(const std::string& name, std::string& value) const override
    {
        auto it = vars.find(name);
        if (it == vars.end())
            return false;
        value = it->second;
        return true;
    }

    void set(const std::string& name, const std::string& value) { vars[name] = value; }
    void unset(const std::string& name) { vars.erase(name); }
    void clear() { vars.clear(); }

    // A plain request: host, port and request URI.
    void request(const std::string& host, const std::string& uri, const std::string& port = "80")
    {
        vars.clear();
        set("HTTP_HOST", host);
        set("SERVER_PORT", port);
        set("REQUEST_URI", uri);
    }

private:
    std::map<std::string, std::string> vars;
};
