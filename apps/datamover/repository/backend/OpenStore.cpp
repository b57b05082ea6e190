#include "apps/datamover/repository/backend/OpenStore.h"

#include "apps/datamover/repository/backend/LocalDirStore.h"
#include "apps/datamover/repository/backend/S3Store.h"

namespace repo3 {

bool IsRemoteLocation(const std::string& location)
{
    return IsS3Url(location);
}

std::unique_ptr<ObjectStore> OpenObjectStore(const std::string& location, bool create)
{
    if (!IsS3Url(location)) return std::make_unique<LocalDirStore>(location, create);
    S3Location where;
    S3Credentials credentials;
    std::string error;
    if (!ParseS3Url(location, where, error)) throw StorageError(error, StorageError::Kind::NotFound);
    if (!LoadS3Credentials(credentials, error)) throw StorageError(error, StorageError::Kind::Denied);
    return std::make_unique<S3Store>(where, credentials, S3Options::FromEnvironment());
}

}  // namespace repo3
