#include "extension/engine/EngineSystemId.h"

#include <cstring>
#include <string>
#include <vector>

#include "php.h"
// The engine declares its digest functions without C linkage for C++.
extern "C" {
#include "ext/standard/md5.h"
}
#include "zend_system_id.h"

namespace vorn {

namespace {

const char kModule[] = "Quillet";

// Additions refused by the engine, in order: hook name, then data.
std::vector<std::string> pending;
zend_result (*previousPostStartup)(void) = nullptr;
bool postStartupInstalled = false;

zend_result foldPendingIntoSystemId()
{
    postStartupInstalled = false;
    if (!pending.empty()) {
        // The same inputs give the same id in every process and at every
        // restart, and other point files give another one.
        PHP_MD5_CTX context;
        PHP_MD5Init(&context);
        PHP_MD5Update(&context, zend_system_id, sizeof(zend_system_id));
        PHP_MD5Update(&context, kModule, sizeof(kModule) - 1);
        for (const std::string& part : pending) {
            uint64_t length = part.size();
            PHP_MD5Update(&context, &length, sizeof(length));
            PHP_MD5Update(&context, part.data(), part.size());
        }
        unsigned char digest[16];
        PHP_MD5Final(digest, &context);
        static const char hex[] = "0123456789abcdef";
        for (std::size_t i = 0; i < sizeof(digest) && 2 * i + 1 < sizeof(zend_system_id); ++i) {
            zend_system_id[2 * i] = hex[digest[i] >> 4];
            zend_system_id[2 * i + 1] = hex[digest[i] & 0x0f];
        }
        pending.clear();
    }
    zend_result (*next)(void) = previousPostStartup;
    previousPostStartup = nullptr;
    return next ? next() : SUCCESS;
}

}  // namespace

bool addSystemIdEntropy(const char* hook, const void* data, std::size_t size)
{
    if (zend_add_system_entropy(kModule, hook, data, size) == SUCCESS)
        return true;
    try {
        pending.emplace_back(hook);
        pending.emplace_back(static_cast<const char*>(data), size);
    } catch (...) {
        return false;
    }
    // The engine runs this callback once, after it has made the id and
    // before anything is compiled (opcache's own callback, which may
    // compile preloaded scripts, runs after it).
    if (!postStartupInstalled && zend_post_startup_cb != foldPendingIntoSystemId) {
        previousPostStartup = zend_post_startup_cb;
        zend_post_startup_cb = foldPendingIntoSystemId;
        postStartupInstalled = true;
    }
    return true;
}

bool systemIdEntropyDeferred()
{
    return !pending.empty();
}

void forgetSystemIdEntropy()
{
    if (postStartupInstalled && zend_post_startup_cb == foldPendingIntoSystemId)
        zend_post_startup_cb = previousPostStartup;
    postStartupInstalled = false;
    previousPostStartup = nullptr;
    pending.clear();
}

}  // namespace vorn
