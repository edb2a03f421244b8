// What one operation on the URL table costs under the lock that all workers
// share, at its worst: a bucket filled with keys of the longest length that
// differ only in their last bytes (every key compared almost whole), then a
// new key of that bucket looked up and refused, and the last key of the
// chain found; against a key of an empty bucket. Not run by the tests.
//
// Usage: url_table_walk [directory]   (default /tmp)
#include "common/ZMMapHash.h"
#include "extension/url/ZShmUrlHash.h"
#include "extension/url/ZUrlManager.h"

#include <bits/hash_bytes.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

uint32_t bucketOf(const std::string& key)
{
    return static_cast<uint32_t>(std::_Hash_bytes(key.data(), key.size(), 0xc70f6907UL)) %
           static_cast<uint32_t>(ZMMapHash::BUCKET_COUNT);
}

std::string keyNumber(long n)
{
    char tail[17];
    std::snprintf(tail, sizeof tail, "%016lx", n);
    std::string key = "/index.php/";
    key.resize(ZShmUrlHash::MAX_KEY_BYTES - 16, 'a');
    return key + tail;
}

double microseconds(int rounds, const std::function<void()>& op)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        op();
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / rounds;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string name = "walk" + std::to_string(getpid());
    ZShmUrlHash::destroy(name, dir);
    ZMMapHash table;
    if (!table.create(name, dir, ZUrlManager::URL_TABLE_SIZE)) {
        std::fprintf(stderr, "cannot create the table: %s\n", table.errorString().c_str());
        return 1;
    }
    std::vector<std::string> aimed;
    std::string elsewhere;
    const uint32_t target = bucketOf(keyNumber(0));
    for (long n = 0; aimed.size() < static_cast<std::size_t>(ZMMapHash::MAX_CHAIN) + 1 || elsewhere.empty(); ++n) {
        std::string key = keyNumber(n);
        if (bucketOf(key) == target)
            aimed.push_back(std::move(key));
        else if (elsewhere.empty())
            elsewhere = std::move(key);
    }
    std::string refused = aimed.back();
    aimed.pop_back();
    for (const std::string& key : aimed)
        table.insert(key, "0");
    if (table.insert(refused, "0") || !table.lackedRoom()) {
        std::fprintf(stderr, "the bucket took more than %ld keys\n", static_cast<long>(ZMMapHash::MAX_CHAIN));
        return 1;
    }
    const int rounds = 20000;
    // Admission of a new path: look-up, then the insert that is refused.
    const double newAimed = microseconds(rounds, [&] {
        table.contains(refused);
        table.insert(refused, "0");
    });
    const double lastKnown = microseconds(rounds, [&] { table.contains(aimed.back()); });
    const double emptyBucket = microseconds(rounds, [&] { table.contains(elsewhere); });
    std::printf("bucket %u holds %zu keys of %zu bytes\n", target, aimed.size(), ZShmUrlHash::MAX_KEY_BYTES);
    std::printf("new key of that bucket (look-up and refused insert): %.2f us\n", newAimed);
    std::printf("last key of that bucket (look-up):                   %.2f us\n", lastKnown);
    std::printf("key of an empty bucket (look-up):                    %.2f us\n", emptyBucket);
    ZShmUrlHash::destroy(name, dir);
    return 0;
}
