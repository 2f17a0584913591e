// Reading a picture file into the bitmap every analysis starts from: only the
// formats people keep photos in, their size checked in the header before
// anything is decoded, transparency put on white, and large pictures brought
// down to what the analyses use, so that one picture costs a bounded amount
// of memory whatever its header claims.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app::vision::module {

// Decoded pictures with more pixels are reduced to this many (4096 x 4096):
// more than any analysis reads (the detectors look at 512 pixels or less, the
// face detector at 1,600), and text of a 49-megapixel photo still reads.
inline constexpr std::int64_t kMaxAnalysedPixels = std::int64_t{4096} * 4096;

enum class PictureFormat { Jpeg, Png, Bmp, Tiff, WebP, Jpeg2000, Radiance, Heif };

// What a picture file's header says, before any pixel is decoded.
struct PictureHeader {
    PictureFormat format = PictureFormat::Jpeg;
    std::int64_t width = 0, height = 0;
    bool alpha = false;        // it carries transparency
    // TIFF: what its ExtraSamples tag calls the alpha sample; associated
    // alpha is stored with the colours already multiplied by it.
    enum class Alpha { Unsaid, Associated, Unassociated } alphaKind = Alpha::Unsaid;
    bool grey = false;         // TIFF: grey samples, not colour
    int bytesPerSample = 1;    // as stored: 1, 2 (16-bit), 4 or 8 (32- or 64-bit)
    int samples = 3;           // per pixel, as stored
    std::int64_t chunkPixels = 0;  // TIFF: the pixels of one strip or tile
    bool multiScan = false;    // JPEG: progressive, its decoder holds every coefficient at full size
};

// The header of a picture in one of the formats read; absent for anything
// else (other formats, damaged or truncated headers, a size of 0).
std::optional<PictureHeader> pictureHeader(const std::vector<unsigned char>& bytes);

// An 8-bit picture with alpha (BGRA, or grey and alpha), its alpha not
// multiplied in, put on white as a viewer shows it: BGR or grey, made in
// place in the same buffer, which the result does not own.
cv::Mat onWhite(cv::Mat& withAlpha);

// The picture at path as 8-bit BGR, transparent parts on white, with at most
// kMaxAnalysedPixels. Throws ToolError "VisionService" 404 "Image file not
// found at path: <path>" when nothing is there, 400 "Failed to load image
// from path: <path>" for anything but a regular file in a known format that
// decodes within the limits.
cv::Mat readPicture(const std::string& path);

}  // namespace app::vision::module
