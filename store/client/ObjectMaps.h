#pragma once
// The client store's two indexes of its objects, flat open-addressing hash tables: their
// positions by id, and their ids by name, looked up with a string_view so that a received name
// is copied only when it is kept.

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct CObjectNameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return boost::hash<std::string_view>()(name); }
};

using CObjectPositionMap = boost::unordered_flat_map<uint64_t, uint32_t>;
using CObjectNameMap = boost::unordered_flat_map<std::string, uint64_t, CObjectNameHash, std::equal_to<>>;
