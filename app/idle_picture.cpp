#include "app/idle_picture.h"

namespace tavelo {

namespace {
const uint8_t kBlob[] = {
#include "idle_picture_blob.inc"
};
}  // namespace

const uint8_t* IdlePictureBlob() { return kBlob; }
size_t IdlePictureBlobSize() { return sizeof kBlob; }

}  // namespace tavelo
