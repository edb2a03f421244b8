#pragma once
// zJSON: a thin wrapper over one node of a cJSON tree. Only an owned wrapper
// deletes its tree (through destroy); a child added to a tree belongs to that
// tree from then on.

#include <string>

struct cJSON;

class zJSON {
public:
    // Node types in cJSON's original numbering.
    enum eType { False = 0, True = 1, Null = 2, Number = 3, String = 4, Array = 5, Object = 6 };

    static zJSON* create(eType type, bool owned);
    static void destroy(zJSON* json);

    virtual ~zJSON();

    void add(const std::wstring& key, zJSON* child);
    void add(const std::wstring& key, const std::wstring& value);
    void add(const std::wstring& key, long long value);
    void arrayAdd(zJSON* child);
    void arrayAdd(const std::wstring& value);
    void arrayAdd(long long value);

    cJSON* item() const { return _item; }

    // cJSON's formatted print of this node's tree as UTF-8 (empty when out of memory).
    std::string print() const;

private:
    zJSON(cJSON* item, bool owned);
    zJSON(const zJSON&) = delete;
    zJSON& operator=(const zJSON&) = delete;

    cJSON* _item;
    bool _owned;
};
