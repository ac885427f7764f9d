// The codec libraries export what their units bind: the JPEG and JPEG 2000 libraries exactly
// their three calls, the TIFF library libtiff's interface plus its two message calls, the PNG
// library libpng's interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "tests/codecs/ref_picture.h"

namespace tavelo::test {
namespace {

// The names a shared object defines in its dynamic symbol table (binutils' nm), without the
// reserved names a toolchain may add (leading underscore).
std::set<std::string> DefinedExports(const std::string& path) {
  std::set<std::string> names;
  const std::string command = "nm -D --defined-only '" + path + "' 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    ADD_FAILURE() << "cannot run nm (binutils)";
    return names;
  }
  char line[512];
  while (std::fgets(line, sizeof line, p) != nullptr) {
    char kind = 0;
    char name[400] = {};
    unsigned long long address = 0;
    if (std::sscanf(line, "%llx %c %399s", &address, &kind, name) == 3 && name[0] != '_' &&
        (kind == 'T' || kind == 'D' || kind == 'B' || kind == 'R' || kind == 'W' || kind == 'V'))
      names.insert(name);
  }
  const int status = pclose(p);
  EXPECT_EQ(status, 0) << "nm failed on " << path << " (is binutils installed?)";
  return names;
}

TEST(CodecExports, JpegAndJp2ExportExactlyTheirCalls) {
  CodecLib jpeg("jpegcodec");
  EXPECT_EQ(DefinedExports(jpeg.Path()), (std::set<std::string>{"jpg_info_file", "jpg_read_file", "jpg_write_file"}));
  CodecLib jp2("jp2codec");
  EXPECT_EQ(DefinedExports(jp2.Path()), (std::set<std::string>{"jp2_info", "jp2_read", "jp2_write"}));
}

TEST(CodecExports, TiffCarriesLibtiffAndItsMessageCalls) {
  CodecLib tiff("tiffcodec");
  EXPECT_EQ(DefinedExports(tiff.Path()), (std::set<std::string>{"ExternErrorSet", "ExternWarningSet"}));
  for (const char* name : {"TIFFOpen", "TIFFClose", "TIFFGetField", "TIFFGetFieldDefaulted", "TIFFScanlineSize",
                           "TIFFReadScanline", "TIFFReadRGBAImage", "TIFFReadTile", "TIFFTileSize", "TIFFSetField", "TIFFDefaultStripSize",
                           "TIFFWriteScanline", "ExternErrorSet", "ExternWarningSet"})
    EXPECT_NE(tiff.Raw(name), nullptr) << name;
}

TEST(CodecExports, PngCarriesLibpng) {
  CodecLib png("pngcodec");
  EXPECT_TRUE(DefinedExports(png.Path()).empty());
  for (const char* name :
       {"png_build_grayscale_palette", "png_create_info_struct", "png_create_read_struct", "png_create_write_struct",
        "png_destroy_read_struct", "png_destroy_write_struct", "png_get_IHDR", "png_get_PLTE", "png_get_channels",
        "png_sig_cmp", "png_set_read_fn", "png_read_info", "png_set_strip_16", "png_set_packing", "png_set_bgr",
        "png_read_update_info", "png_get_rowbytes", "png_read_image", "png_read_end", "png_set_compression_level",
        "png_set_write_fn", "png_set_IHDR", "png_set_PLTE", "png_write_info", "png_write_image", "png_write_end",
        "png_get_pHYs", "png_set_pHYs", "png_get_io_ptr"})
    EXPECT_NE(png.Raw(name), nullptr) << name;
}

}  // namespace
}  // namespace tavelo::test
