#pragma once
// The server store's steps as the data feed takes them, each releasing the objects lock that
// CreateObject and FindObject hand over.

#include "store/server/ObjectsRepository.h"

#include <string>

inline uint64_t CreateAndRelease(CObjectsRepository& repository, const std::string& name, const std::string& type)
{
    const uint64_t id = repository.CreateObject(name, type).GetId();
    repository.GetObjectsLock().Unlock();
    return id;
}

/// Returns the property's id.
inline uint64_t SetAndRelease(CObjectsRepository& repository, uint64_t objectId, const std::string& property,
                              const std::string& value)
{
    const uint64_t propertyId = repository.GetPropertyId(property);
    CRepositoryObject& object = repository.FindObject(objectId);
    try {
        object.SetProperty(propertyId, value);
    } catch (...) {
        repository.GetObjectsLock().Unlock();
        throw;
    }
    repository.GetObjectsLock().Unlock();
    return propertyId;
}
