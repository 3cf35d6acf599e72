// Completion of the image action, the one action whose reply also goes to a
// file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "ResponseSteps.h"

namespace DataServiceNamespace {

cfstring imageFilePath(const DeviceIdImageResData *response) {
    if (!response)
        return "_tmp_output.bin";
    return response->image_file_path + '\\' + "_tmp_output_" + response->device_id + ".bin";
}

namespace {
// Creates or replaces the file. The path is partly made of reply data and may
// lie in a folder others can write to, so a symbolic link planted at the path
// is not followed (O_NOFOLLOW) and anything that is not a regular file (a FIFO
// would block the IPC thread, a device would swallow the bytes) is left alone:
// O_NONBLOCK makes opening a FIFO without a reader fail, and one with a reader
// is refused after fstat. The descriptor must not leak into child processes
// (O_CLOEXEC). A new file gets mode 0600 before the umask: the images come
// from surveillance cameras and are read by the calling process. A file that
// cannot be opened is skipped without a report, as the protocol has no field
// for it; a failed write leaves what was written.
void writeImageFile(const cfstring &path, const char *bytes, opaque_size size) {
    const int file = ::open(path.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                            S_IRUSR | S_IWUSR);
    if (file < 0)
        return;
    struct stat status;
    if (::fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
        while (size > 0) {
            const ssize_t written = ::write(file, bytes, size);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                break;
            bytes += written;
            size -= static_cast<opaque_size>(written);
        }
    }
    ::close(file);
}
} // namespace

int completeResponse(DeviceIdImageResData &decoded, ServiceError &error, int32 transportCode,
                     DeviceIdImageResData *response) {
    cfstring path;
    if (transportCode != 0) {
        noteTransportError(error, transportCode);
    } else if (decoded.image_data && decoded.image_data_opaque_size > 0 &&
               statusOf(decoded).errorCode != 0) {
        path = imageFilePath(response);
        writeImageFile(path, decoded.image_data, decoded.image_data_opaque_size);
    }
    if (!response)
        return 1;
    // The copy is made before anything is written, so a failed allocation
    // leaves the caller's record as it was.
    std::unique_ptr<char[]> image;
    opaque_size imageSize = 0;
    if (decoded.image_data && decoded.image_data_opaque_size > 0) {
        imageSize = decoded.image_data_opaque_size;
        image.reset(new char[imageSize]);
        std::memcpy(image.get(), decoded.image_data, imageSize);
    }
    assignForCompletion(*response, decoded);
    // The array the record held before is not released: a copy of the record
    // may share it, and records never release their image (docs/client.md).
    response->image_data = image.release();
    response->image_data_opaque_size = imageSize;
    response->image_file_path = path;
    markCompleted(statusOf(*response));
    return 1;
}

} // namespace DataServiceNamespace
