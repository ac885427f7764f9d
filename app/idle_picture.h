// The picture the player shows when nothing is loaded: 440 x 293 at 24 bits, built into the
// program as a packed-picture blob (method 7) that the build draws with app/tools.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavelo {

constexpr int32_t kIdlePictureWidth = 440;
constexpr int32_t kIdlePictureHeight = 293;

const uint8_t* IdlePictureBlob();
size_t IdlePictureBlobSize();

}  // namespace tavelo
