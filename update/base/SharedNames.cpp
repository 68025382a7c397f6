#include "base/SharedNames.h"

#include <algorithm>
#include <utility>

namespace UpdateNew {

std::vector<bool> SharedNames(size_t count, const std::function<std::wstring(size_t)>& name) {
    std::vector<std::pair<size_t, size_t>> hashes;  // hash of the name, item
    hashes.reserve(count);
    for (size_t i = 0; i < count; ++i) hashes.emplace_back(std::hash<std::wstring>()(name(i)), i);
    std::sort(hashes.begin(), hashes.end());
    std::vector<bool> shared(count, false);
    for (size_t begin = 0, end = 0; begin < hashes.size(); begin = end) {
        for (end = begin + 1; end < hashes.size() && hashes[end].first == hashes[begin].first;)
            ++end;
        for (size_t a = begin; a + 1 < end; ++a) {
            const std::wstring first = name(hashes[a].second);
            for (size_t b = a + 1; b < end; ++b)
                if (name(hashes[b].second) == first)
                    shared[hashes[a].second] = shared[hashes[b].second] = true;
        }
    }
    return shared;
}

}  // namespace UpdateNew
