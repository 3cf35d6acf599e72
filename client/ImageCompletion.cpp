// Completion of the image action, the one action whose reply also goes to a
// file.
#include <cstdio>
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
// Creates or replaces the file; a file that cannot be opened is skipped
// without a report, as the protocol has no field for it.
void writeImageFile(const cfstring &path, const char *bytes, opaque_size size) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return;
    std::fwrite(bytes, 1, size, file);
    std::fclose(file);
}
} // namespace

int completeResponse(DeviceIdImageResData &decoded, ServiceError &error, int32 transportCode,
                     DeviceIdImageResData *response) {
    cfstring path;
    if (transportCode != 0) {
        noteTransportError(error, transportCode);
    } else if (decoded.image_data && decoded.image_data_opaque_size > 0 &&
               decoded.error.errorCode != 0) {
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
    markCompleted(response->error);
    return 1;
}

} // namespace DataServiceNamespace
