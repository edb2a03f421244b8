#pragma once

#include <memory>
#include <string>
#include <vector>

struct _zend_execute_data;
struct _zval_struct;
struct vorn_wrapped_function;
class CrossVmHandlerBase;

// Owns the outgoing-HTTP handlers (curl, file_get_contents, stream sockets)
// and is the extension core's one way to them: it offers them the listed
// internal functions, tells whether an engine handler is one of theirs, and
// forgets their call records at every request.
class ZCrossVmManager {
public:
    using Handler = void (*)(_zend_execute_data*, _zval_struct*);

    // Builds the three handlers, by eCrossVMHandlerID: curl, file_get_contents,
    // stream. Touches nothing of the engine.
    ZCrossVmManager();
    virtual ~ZCrossVmManager();
    ZCrossVmManager(const ZCrossVmManager&) = delete;
    ZCrossVmManager& operator=(const ZCrossVmManager&) = delete;

    // True when `handler` is one of the cross-VM handlers' replacements.
    bool isHooked(Handler handler) const;
    // Offers the function under `key` to the handlers in index order; the
    // taker sets the record's handler and the answer is true. False leaves
    // the record alone.
    //
    // The curl handler follows a handle's URL and header lines through all of
    // curl's configuring functions: once it takes one curl function, its other
    // functions (curl_setopt, curl_reset, curl_copy_handle...) are taken over
    // too, listed or not, so no header line the script set is ever lost.
    bool hook(const std::wstring& key, vorn_wrapped_function& record);
    // Per-request reset of the handlers' call records.
    void cleanup();

    std::vector<std::shared_ptr<CrossVmHandlerBase>> handlers;

private:
    void hookCompanions(CrossVmHandlerBase& handler, const std::wstring& taken);
};
