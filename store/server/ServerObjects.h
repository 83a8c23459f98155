#pragma once
// The server's objects in ascending id order. Ids are handed out in ascending order, so a new
// object always goes to the end of the sorted vector, and the snapshot walks it from front to
// back. Creating an object may move the others.

#include "store/RepositoryObject.h"

#include <boost/container/flat_map.hpp>

#include <cstdint>

using CServerObjects = boost::container::flat_map<uint64_t, CRepositoryObject>;
