#pragma once

#include <cstddef>

// The probe's part of the engine's system id, which names opcache's file
// cache: code compiled under other point files must never come back from it.
//
// The engine takes additions only until it has made the id once in the
// process. A server that shuts the engine down and starts it again in the
// same process (Apache's restarts) makes the id again at each start-up, but
// no longer takes additions, so what the probe adds then is folded into the
// new id right after the engine has made it, before any script is compiled.
namespace vorn {

// Adds `data` under the probe's name and `hook`. False only when it can
// neither be added nor folded in later.
bool addSystemIdEntropy(const char* hook, const void* data, std::size_t size);

// True when additions were refused and are to be folded in after start-up.
bool systemIdEntropyDeferred();

// Module shutdown: the engine's post-start-up callback is put back if the
// probe's is still installed, and what was pending is forgotten.
void forgetSystemIdEntropy();

}  // namespace vorn
