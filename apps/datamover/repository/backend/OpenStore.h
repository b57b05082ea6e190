// Where a repository's "--repo" text becomes its ObjectStore: an s3:// or
// s3+http:// URL is a bucket (S3Store), anything else a local directory.
#pragma once
#include <memory>
#include <string>

#include "apps/datamover/repository/backend/ObjectStore.h"

namespace repo3 {

// Whether `location` names a remote store (no local path to make absolute or create).
bool IsRemoteLocation(const std::string& location);

// The store at `location`; a local directory is created when `create`. A bucket
// is never created (its rights and settings are the operator's). Throws
// StorageError with one line when the location or the credentials are wrong.
std::unique_ptr<ObjectStore> OpenObjectStore(const std::string& location, bool create = false);

}  // namespace repo3
