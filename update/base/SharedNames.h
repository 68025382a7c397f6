// Finds which of many items share a name with another item, without keeping the names:
// only their hashes are kept and sorted, and the names of equal hash are built again and
// compared. Meant for lists of hundreds of thousands of paths, where a set of the names
// themselves would cost several hundred bytes per item.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace UpdateNew {

// Per item 0 .. count-1: whether another item has an equal name(item).
std::vector<bool> SharedNames(size_t count, const std::function<std::wstring(size_t)>& name);

}  // namespace UpdateNew
