#include "app/vision/module/picture_file.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/vision/vision_module.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <libheif/heif.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::vision::module {

namespace {

using tools::ToolError;

// Larger files are refused before they are read.
constexpr off_t kMaxImageFileBytes = off_t{256} << 20;
// What a decoder may hold at once for one picture (its output and working
// copies, by the costs below). With the models and Tesseract's languages
// loaded and the reduced copy made after it, a call stays under 512 MB.
constexpr std::int64_t kMaxDecoderBytes = std::int64_t{200} << 20;
// Bytes per pixel that OpenJPEG and OpenCV's Radiance reader hold while
// decoding (measured: a 7000 x 7000 picture took 720-730 MB above the
// process's own), and libheif (its planes and the interleaved copy).
constexpr std::int64_t kJpeg2000Cost = 16, kRadianceCost = 16, kHeifCost = 6;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The file's bytes, read only from a regular file: a FIFO or a terminal
// would block or swallow someone else's input. Opened without blocking so
// that a FIFO put in place after the caller's check cannot hang us.
std::vector<unsigned char> readImageFile(const std::string& path) {
    const ToolError unreadable("VisionService", 400, "Failed to load image from path: " + path);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            throw ToolError("VisionService", 404, "Image file not found at path: " + path);
        }
        throw unreadable;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxImageFileBytes) throw unreadable;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(file.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw unreadable;
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

// Bounds-checked reads of a file's bytes; out of range reads as absent.
class Bytes {
public:
    explicit Bytes(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}
    std::size_t size() const { return bytes_.size(); }
    bool has(std::string_view mark, std::size_t at = 0) const {
        return at + mark.size() <= bytes_.size() &&
               std::equal(mark.begin(), mark.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at),
                          [](char m, unsigned char b) { return static_cast<unsigned char>(m) == b; });
    }
    // An unsigned number of n bytes at offset at, big- or little-endian.
    std::optional<std::uint64_t> number(std::size_t at, int n, bool bigEndian = true) const {
        if (at + static_cast<std::size_t>(n) > bytes_.size() || at + static_cast<std::size_t>(n) < at) return std::nullopt;
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t b = bytes_[at + static_cast<std::size_t>(bigEndian ? i : n - 1 - i)];
            v = (v << 8) | b;
        }
        return v;
    }

private:
    const std::vector<unsigned char>& bytes_;
};

// No decoder takes a side over a million pixels; the products of sizes stay
// far inside 64 bits.
std::optional<PictureHeader> sized(PictureHeader h) {
    constexpr std::int64_t kLongestSide = std::int64_t{1} << 20;
    if (h.width <= 0 || h.height <= 0 || h.width > kLongestSide || h.height > kLongestSide) return std::nullopt;
    return h;
}

// PNG: the IHDR chunk, and a tRNS chunk before the pixels for transparency.
std::optional<PictureHeader> pngHeader(const Bytes& b) {
    auto w = b.number(16, 4), h = b.number(20, 4), depth = b.number(24, 1), type = b.number(25, 1);
    if (!w || !h || !depth || !type || !b.has("IHDR", 12)) return std::nullopt;
    PictureHeader header{PictureFormat::Png, std::int64_t(*w), std::int64_t(*h)};
    header.bytesPerSample = *depth == 16 ? 2 : 1;
    header.samples = *type == 0 ? 1 : *type == 4 ? 2 : *type == 6 ? 4 : 3;
    header.alpha = *type == 4 || *type == 6;
    for (std::size_t at = 8; !header.alpha;) {
        auto length = b.number(at, 4);
        if (!length || b.has("IDAT", at + 4) || b.has("IEND", at + 4)) break;
        if (b.has("tRNS", at + 4)) header.alpha = true, header.samples = header.samples == 1 ? 2 : 4;
        at += 12 + *length;
    }
    return sized(header);
}

// JPEG: the frame header (SOF0-SOF15 but DHT, JPG and DAC) among the markers.
std::optional<PictureHeader> jpegHeader(const Bytes& b) {
    for (std::size_t at = 2; at + 4 <= b.size();) {
        if (*b.number(at, 1) != 0xFF) return std::nullopt;
        const auto marker = *b.number(at + 1, 1);
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // no frame header before the scan
        const auto length = b.number(at + 2, 2);
        if (!length) return std::nullopt;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            auto h = b.number(at + 5, 2), w = b.number(at + 7, 2), components = b.number(at + 9, 1);
            if (!h || !w || !components) return std::nullopt;
            PictureHeader header{PictureFormat::Jpeg, std::int64_t(*w), std::int64_t(*h)};
            header.samples = static_cast<int>(*components);
            header.multiScan = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            return sized(header);
        }
        at += 2 + *length;
    }
    return std::nullopt;
}

std::optional<PictureHeader> bmpHeader(const Bytes& b) {
    const auto info = b.number(14, 4, false);
    if (!info) return std::nullopt;
    if (*info == 12) {  // the old OS/2 header: 16-bit sizes
        auto w = b.number(18, 2, false), h = b.number(20, 2, false);
        if (!w || !h) return std::nullopt;
        return sized({PictureFormat::Bmp, std::int64_t(*w), std::int64_t(*h)});
    }
    auto w = b.number(18, 4, false), h = b.number(22, 4, false);
    if (!w || !h) return std::nullopt;
    // The height is negative for rows stored top-down.
    const auto height = static_cast<std::int32_t>(static_cast<std::uint32_t>(*h));
    return sized({PictureFormat::Bmp, static_cast<std::int32_t>(static_cast<std::uint32_t>(*w)),
                  std::abs(static_cast<std::int64_t>(height))});
}

// TIFF and BigTIFF: the first directory's size, samples and extra samples.
std::optional<PictureHeader> tiffHeader(const Bytes& b) {
    const bool little = b.has("II");
    const bool bigTiff = b.number(2, 2, !little).value_or(0) == 43;
    const int offsetBytes = bigTiff ? 8 : 4, countBytes = bigTiff ? 8 : 2, entryBytes = bigTiff ? 20 : 12;
    const auto first = b.number(bigTiff ? 8 : 4, offsetBytes, !little);
    if (!first) return std::nullopt;
    const auto entries = b.number(*first, countBytes, !little);
    if (!entries || *entries > 4096) return std::nullopt;
    PictureHeader header{PictureFormat::Tiff};
    header.samples = 1;
    std::uint64_t photometric = 2, rowsPerStrip = 0, tileWidth = 0, tileLength = 0;
    std::optional<std::uint64_t> extra;
    for (std::uint64_t i = 0; i < *entries; ++i) {
        const std::size_t at = *first + countBytes + i * entryBytes;
        const auto tag = b.number(at, 2, !little), type = b.number(at + 2, 2, !little);
        if (!tag || !type) return std::nullopt;
        // A short (3) or long (4, or 16 in BigTIFF) value in the entry
        // itself, or the first of several shorts where the entry points.
        const auto count = b.number(at + 4, offsetBytes, !little);
        std::size_t valueAt = at + 4 + offsetBytes;
        if (*type == 3 && count && *count * 2 > std::uint64_t(offsetBytes)) {
            valueAt = b.number(valueAt, offsetBytes, !little).value_or(b.size());
        }
        const auto value = *type == 3 ? b.number(valueAt, 2, !little) : b.number(valueAt, *type == 16 ? 8 : 4, !little);
        if (!value) return std::nullopt;
        switch (*tag) {
            case 256: header.width = std::int64_t(*value); break;
            case 257: header.height = std::int64_t(*value); break;
            case 258: header.bytesPerSample = *value > 32 ? 8 : *value > 16 ? 4 : *value > 8 ? 2 : 1; break;
            case 262: photometric = *value; break;
            case 277: header.samples = int(std::min<std::uint64_t>(*value, 16)); break;
            case 278: rowsPerStrip = *value; break;
            case 322: tileWidth = *value; break;
            case 323: tileLength = *value; break;
            case 338: extra = *value; break;  // 0: unspecified, 1 and 2: alpha
            default: break;
        }
    }
    // A sample beyond the grey or RGB ones is alpha unless said otherwise.
    const int colours = photometric <= 1 ? 1 : photometric == 2 ? 3 : header.samples;
    header.alpha = header.samples > colours && extra != 0;
    header.alphaKind = extra == 1 ? PictureHeader::Alpha::Associated
                       : extra == 2 ? PictureHeader::Alpha::Unassociated
                                    : PictureHeader::Alpha::Unsaid;
    header.grey = photometric <= 1;
    // The pixels libtiff hands over at once: a strip (all rows when not
    // said) or a tile.
    const std::uint64_t side = std::uint64_t{1} << 20;
    const std::uint64_t width = std::min<std::uint64_t>(std::uint64_t(std::max<std::int64_t>(header.width, 0)), side);
    header.chunkPixels = std::int64_t(tileWidth && tileLength ? std::min(tileWidth, side) * std::min(tileLength, side)
                                                              : std::min(rowsPerStrip ? rowsPerStrip : side, side) * width);
    return sized(header);
}

std::optional<PictureHeader> webpHeader(const Bytes& b) {
    PictureHeader header{PictureFormat::WebP};
    if (b.has("VP8 ", 12)) {
        auto w = b.number(26, 2, false), h = b.number(28, 2, false);
        if (!w || !h) return std::nullopt;
        header.width = std::int64_t(*w & 0x3FFF), header.height = std::int64_t(*h & 0x3FFF);
    } else if (b.has("VP8L", 12)) {
        auto bits = b.number(21, 4, false);
        if (!bits) return std::nullopt;
        header.width = std::int64_t(*bits & 0x3FFF) + 1, header.height = std::int64_t((*bits >> 14) & 0x3FFF) + 1;
        header.alpha = (*bits >> 28) & 1;
    } else if (b.has("VP8X", 12)) {
        auto flags = b.number(20, 1), w = b.number(24, 3, false), h = b.number(27, 3, false);
        if (!flags || !w || !h) return std::nullopt;
        header.width = std::int64_t(*w) + 1, header.height = std::int64_t(*h) + 1;
        header.alpha = *flags & 0x10;
    } else {
        return std::nullopt;
    }
    header.samples = header.alpha ? 4 : 3;
    return sized(header);
}

// A JPEG 2000 picture of n components: OpenCV hands over the alpha of RGBA
// (it refuses grey with alpha unless told to drop the alpha).
std::optional<PictureHeader> withComponents(PictureHeader header, int components) {
    header.samples = std::max(components, 1);
    header.alpha = components == 4;
    return sized(header);
}

// JPEG 2000: a JP2 file's image header box, or a bare code stream's SIZ marker.
std::optional<PictureHeader> jpeg2000Header(const Bytes& b) {
    if (b.has("\xFF\x4F\xFF\x51")) {
        auto xs = b.number(8, 4), ys = b.number(12, 4), xo = b.number(16, 4), yo = b.number(20, 4);
        auto components = b.number(40, 2);
        if (!xs || !ys || !xo || !yo || !components || *xo >= *xs || *yo >= *ys) return std::nullopt;
        return withComponents({PictureFormat::Jpeg2000, std::int64_t(*xs - *xo), std::int64_t(*ys - *yo)}, int(*components));
    }
    // Boxes: length (4), type (4); the image header sits in the "jp2h" box.
    for (std::size_t at = 0, end = b.size(); at + 8 <= end;) {
        const auto length = b.number(at, 4);
        if (!length || *length < 8) return std::nullopt;
        if (b.has("jp2h", at + 4)) {
            end = std::min<std::size_t>(end, at + *length);
            at += 8;
            continue;
        }
        if (b.has("ihdr", at + 4)) {
            auto h = b.number(at + 8, 4), w = b.number(at + 12, 4), components = b.number(at + 16, 2);
            if (!h || !w || !components) return std::nullopt;
            return withComponents({PictureFormat::Jpeg2000, std::int64_t(*w), std::int64_t(*h)}, int(*components));
        }
        at += *length;
    }
    return std::nullopt;
}

// Radiance: text lines up to an empty one, then "-Y <rows> +X <columns>"
// (or another order of the axes).
std::optional<PictureHeader> radianceHeader(const std::vector<unsigned char>& bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), std::min<std::size_t>(bytes.size(), 64 * 1024));
    const std::size_t blank = text.find("\n\n");
    if (blank == std::string_view::npos) return std::nullopt;
    const std::size_t lineEnd = text.find('\n', blank + 2);
    if (lineEnd == std::string_view::npos) return std::nullopt;
    const std::string line(text.substr(blank + 2, lineEnd - blank - 2));
    char s1 = 0, a1 = 0, s2 = 0, a2 = 0;
    long long n1 = 0, n2 = 0;
    if (std::sscanf(line.c_str(), "%c%c %lld %c%c %lld", &s1, &a1, &n1, &s2, &a2, &n2) != 6) return std::nullopt;
    if ((a1 != 'X' && a1 != 'Y') || (a2 != 'X' && a2 != 'Y') || a1 == a2) return std::nullopt;
    PictureHeader header{PictureFormat::Radiance, a1 == 'X' ? n1 : n2, a1 == 'Y' ? n1 : n2};
    header.bytesPerSample = 4;
    return sized(header);
}

// HEIF pictures (phones' HEIC among them): an ISO box file whose brand
// says it holds still images. Their size is read by libheif.
bool isHeif(const Bytes& b) {
    if (!b.has("ftyp", 4)) return false;
    for (std::string_view heif : {"heic", "heix", "heim", "heis", "mif1", "msf1"}) {
        if (b.has(heif, 8)) return true;
    }
    return false;
}

std::int64_t maxPixels() { return std::atoll(kMaxImagePixels); }

// An 8-bit picture of 1 or 3 channels made in place from what a decoder
// gave: transparent parts put on white, 16-bit and floating-point samples
// brought to 8 bits, packed at the start of the same buffer (each pixel
// written no further than where it was read). The buffer stays the
// caller's: the result is valid while it is. premultiplied: the colours
// come multiplied by alpha already.
template <class T>
cv::Mat flattenedInPlace(cv::Mat& m, double full, bool premultiplied) {
    const int channels = m.channels(), out = channels <= 2 ? 1 : 3;
    const int colours = channels <= 2 ? 1 : 3;
    const bool alpha = channels == 2 || channels == 4;
    const double to8 = 255.0 / full;
    auto* packed = m.data;
    for (int y = 0; y < m.rows; ++y) {
        const T* row = m.ptr<T>(y);
        unsigned char* dst = packed + static_cast<std::size_t>(y) * m.cols * out;
        for (int x = 0; x < m.cols; ++x) {
            const T* p = row + static_cast<std::size_t>(x) * channels;
            double v[3];
            const double a = alpha ? std::clamp(double(p[channels - 1]) / full, 0.0, 1.0) : 1.0;
            const double cover = premultiplied ? 1.0 : a;
            for (int k = 0; k < colours; ++k) v[k] = std::min(std::clamp(double(p[k]) * to8, 0.0, 255.0) * cover + 255.0 * (1 - a), 255.0);
            for (int k = 0; k < out; ++k) dst[static_cast<std::size_t>(x) * out + k] = static_cast<unsigned char>(v[k] + 0.5);
        }
    }
    return cv::Mat(m.rows, m.cols, CV_8UC(out), packed);
}

}  // namespace

cv::Mat onWhite(cv::Mat& withAlpha) { return flattenedInPlace<unsigned char>(withAlpha, 255, false); }

namespace {

// What the analyses start from: 8-bit BGR, on white, at most
// kMaxAnalysedPixels. rgb: the decoder gave red first; premultiplied: its
// colours come multiplied by alpha.
cv::Mat analysable(cv::Mat decoded, bool rgb, bool premultiplied) {
    cv::Mat flat;
    if (decoded.depth() == CV_8U && decoded.channels() == 3) {
        flat = decoded;
    } else if (decoded.depth() == CV_8U && (decoded.channels() == 1 || decoded.channels() == 2 || decoded.channels() == 4)) {
        flat = decoded.channels() == 1 ? decoded : flattenedInPlace<unsigned char>(decoded, 255, premultiplied);
    } else if (decoded.depth() == CV_16U && decoded.channels() <= 4) {
        flat = flattenedInPlace<std::uint16_t>(decoded, 65535, premultiplied);
    } else if (decoded.depth() == CV_32F && decoded.channels() <= 4) {
        flat = flattenedInPlace<float>(decoded, 1.0, premultiplied);
    } else {
        return {};
    }
    const std::int64_t pixels = std::int64_t{flat.cols} * flat.rows;
    cv::Mat out;
    if (pixels > kMaxAnalysedPixels) {
        const double scale = std::sqrt(double(kMaxAnalysedPixels) / double(pixels));
        const cv::Size size(std::max(1, int(flat.cols * scale)), std::max(1, int(flat.rows * scale)));
        cv::resize(flat, out, size, 0, 0, cv::INTER_AREA);
    } else if (flat.data == decoded.data && flat.type() == decoded.type()) {
        out = decoded;
    } else {
        out = flat.clone();
    }
    decoded.release();
    if (out.channels() == 1) {
        cv::cvtColor(out, out, cv::COLOR_GRAY2BGR);
    } else if (rgb) {
        cv::cvtColor(out, out, cv::COLOR_RGB2BGR);
    }
    return out;
}

// The primary picture of a HEIF file, turned and mirrored as the file says
// (its irot and imir boxes, which HEIF makes authoritative over any EXIF
// orientation it carries); empty when it does not decode or is too large.
cv::Mat decodeHeif(const std::vector<unsigned char>& bytes) {
    using Context = std::unique_ptr<heif_context, decltype(&heif_context_free)>;
    using Handle = std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)>;
    using Image = std::unique_ptr<heif_image, decltype(&heif_image_release)>;
    static std::once_flag initialised;
    std::call_once(initialised, [] { heif_init(nullptr); });
    Context context(heif_context_alloc(), heif_context_free);
    if (!context) return {};
    heif_context_set_maximum_image_size_limit(context.get(), 1 << 15);
    if (heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr).code !=
        heif_error_Ok) {
        return {};
    }
    heif_image_handle* primary = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok) return {};
    Handle handle(primary, heif_image_handle_release);
    const long long pixels = static_cast<long long>(heif_image_handle_get_ispe_width(primary)) *
                             heif_image_handle_get_ispe_height(primary);
    if (pixels <= 0 || pixels > maxPixels() || pixels * kHeifCost > kMaxDecoderBytes) return {};
    const bool alpha = heif_image_handle_has_alpha_channel(primary);
    heif_image* decoded = nullptr;
    if (heif_decode_image(primary, &decoded, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr).code != heif_error_Ok) {
        return {};
    }
    Image image(decoded, heif_image_release);
    const int width = heif_image_get_width(decoded, heif_channel_interleaved);
    const int height = heif_image_get_height(decoded, heif_channel_interleaved);
    int stride = 0;
    std::uint8_t* rgb = heif_image_get_plane(decoded, heif_channel_interleaved, &stride);
    if (!rgb || width <= 0 || height <= 0) return {};
    // Its pixels stay libheif's: what is returned is a copy.
    cv::Mat out = analysable(cv::Mat(height, width, alpha ? CV_8UC4 : CV_8UC3, rgb, static_cast<std::size_t>(stride)), true,
                             alpha && heif_image_handle_is_premultiplied_alpha(primary));
    return out.data == rgb ? out.clone() : out;
}

// A TIFF's bytes as libtiff reads a file.
struct MemoryFile {
    const std::vector<unsigned char>& bytes;
    toff_t at = 0;

    static tmsize_t read(thandle_t h, void* to, tmsize_t n) {
        auto* f = static_cast<MemoryFile*>(h);
        if (n <= 0 || f->at >= f->bytes.size()) return 0;
        const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(n), f->bytes.size() - f->at);
        std::copy_n(f->bytes.data() + f->at, count, static_cast<unsigned char*>(to));
        f->at += count;
        return static_cast<tmsize_t>(count);
    }
    static tmsize_t write(thandle_t, void*, tmsize_t) { return -1; }
    static toff_t seek(thandle_t h, toff_t offset, int whence) {
        auto* f = static_cast<MemoryFile*>(h);
        // Unsigned: a step back from the current place wraps as intended.
        f->at = (whence == SEEK_CUR ? f->at : whence == SEEK_END ? f->bytes.size() : 0) + offset;
        return f->at;
    }
    static int close(thandle_t) { return 0; }
    static toff_t size(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes.size(); }
    static int map(thandle_t, void**, toff_t*) { return 0; }
    static void unmap(thandle_t, void*, toff_t) {}
};

// Grey and alpha of a strip or tile (its rows rowSamples apart, a pixel's
// samples step apart) into out from (x, y); separate: the chunk holds
// only the plane of sample plane.
template <class T>
void copyGreyAlpha(const unsigned char* chunk, std::size_t rowSamples, std::size_t step, bool separate, int plane,
                   std::uint32_t rows, std::uint32_t cols, cv::Mat& out, std::uint32_t x, std::uint32_t y) {
    for (std::uint32_t r = 0; r < rows; ++r) {
        const T* from = reinterpret_cast<const T*>(chunk) + r * rowSamples;
        T* to = out.ptr<T>(static_cast<int>(y + r)) + std::size_t{x} * 2;
        for (std::uint32_t c = 0; c < cols; ++c) {
            if (separate) {
                to[std::size_t{c} * 2 + plane] = from[c];
            } else {
                to[std::size_t{c} * 2] = from[c * step];
                to[std::size_t{c} * 2 + 1] = from[c * step + 1];
            }
        }
    }
}

// OpenCV's TIFF reader keeps only the grey of a grey picture with alpha, so
// such pictures are read here: 8 or 16 bits, in strips or tiles, a pixel's
// samples together or in planes of their own. Grey and its alpha as stored;
// nothing for another layout (OpenCV reads it); empty when it does not read
// within kMaxDecoderBytes.
std::optional<cv::Mat> decodeGreyAlphaTiff(const std::vector<unsigned char>& bytes) {
    MemoryFile file{bytes};
    std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    if (!options) return cv::Mat();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxDecoderBytes);
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(
        TIFFClientOpenExt("picture", "r", &file, MemoryFile::read, MemoryFile::write, MemoryFile::seek, MemoryFile::close,
                          MemoryFile::size, MemoryFile::map, MemoryFile::unmap, options.get()),
        TIFFClose);
    if (!tiff) return cv::Mat();
    TIFF* t = tiff.get();
    std::uint32_t width = 0, height = 0, chunkWidth = 0, chunkHeight = 0;
    std::uint16_t photometric = 0, bits = 0, samples = 0, planar = 0, format = 0;
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric) || !TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height)) {
        return cv::Mat();
    }
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
    if ((photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE) || samples < 2 ||
        (bits != 8 && bits != 16) || format != SAMPLEFORMAT_UINT) {
        return std::nullopt;
    }
    const bool tiled = TIFFIsTiled(t);
    if (tiled) {
        TIFFGetField(t, TIFFTAG_TILEWIDTH, &chunkWidth);
        TIFFGetField(t, TIFFTAG_TILELENGTH, &chunkHeight);
    } else {
        chunkWidth = width;
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &chunkHeight);
        chunkHeight = std::min(chunkHeight, height);  // all rows when not said
    }
    const int depth = bits / 8;
    const std::int64_t pixels = std::int64_t{width} * height;
    const tmsize_t chunkBytes = tiled ? TIFFTileSize(t) : TIFFStripSize(t);
    const bool separate = planar == PLANARCONFIG_SEPARATE;
    const std::size_t step = separate ? 1 : samples, rowSamples = std::size_t{chunkWidth} * step;
    if (pixels <= 0 || pixels > maxPixels() || chunkWidth == 0 || chunkHeight == 0 || chunkBytes <= 0 ||
        pixels * 2 * depth + chunkBytes > kMaxDecoderBytes) {
        return cv::Mat();
    }
    cv::Mat out(static_cast<int>(height), static_cast<int>(width), depth == 1 ? CV_8UC2 : CV_16UC2);
    std::vector<unsigned char> chunk(static_cast<std::size_t>(chunkBytes));
    // Separate planes: the grey's, then the alpha's (the first extra sample).
    for (int plane = 0; plane < (separate ? 2 : 1); ++plane) {
        for (std::uint32_t y = 0; y < height; y += chunkHeight) {
            for (std::uint32_t x = 0; x < width; x += chunkWidth) {
                const auto sample = static_cast<std::uint16_t>(plane);
                const tmsize_t read = tiled ? TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, sample), chunk.data(), chunkBytes)
                                            : TIFFReadEncodedStrip(t, TIFFComputeStrip(t, y, sample), chunk.data(), chunkBytes);
                const std::uint32_t rows = std::min(chunkHeight, height - y), cols = std::min(chunkWidth, width - x);
                // A short strip or tile leaves the picture unread, not made up.
                if (read < 0 || std::size_t(read) < ((rows - 1) * rowSamples + (cols - 1) * step + (separate ? 1 : 2)) * depth) {
                    return cv::Mat();
                }
                if (depth == 1) {
                    copyGreyAlpha<std::uint8_t>(chunk.data(), rowSamples, step, separate, plane, rows, cols, out, x, y);
                } else {
                    copyGreyAlpha<std::uint16_t>(chunk.data(), rowSamples, step, separate, plane, rows, cols, out, x, y);
                }
            }
        }
    }
    if (photometric == PHOTOMETRIC_MINISWHITE) {
        std::vector<cv::Mat> planes;
        cv::split(out, planes);
        cv::bitwise_not(planes[0], planes[0]);
        cv::merge(planes, out);
    }
    return out;
}

// Whether the decoder's colours come multiplied by alpha: a TIFF's
// associated alpha as stored, and its unassociated alpha where OpenCV reads
// 8-bit colour through libtiff's RGBA reading, which multiplies it in.
bool premultiplied(const PictureHeader& h) {
    using Alpha = PictureHeader::Alpha;
    return h.format == PictureFormat::Tiff &&
           (h.alphaKind == Alpha::Associated || (h.alphaKind == Alpha::Unassociated && !h.grey && h.bytesPerSample == 1));
}

// The decoder's reading of the picture, within kMaxDecoderBytes: a JPEG
// decoded at the largest of 1/1, 1/2, 1/4, 1/8 that the analyses use (its
// decoder scales as it decodes); other formats whole, with their
// transparency when they carry it. A HEIF picture comes analysable.
cv::Mat decode(const std::vector<unsigned char>& bytes, const PictureHeader& header) {
    const std::int64_t pixels = header.width * header.height;
    int flags = cv::IMREAD_COLOR;
    std::int64_t cost = 3 * pixels;
    switch (header.format) {
        case PictureFormat::Heif:
            return decodeHeif(bytes);
        case PictureFormat::Jpeg: {
            int reduction = 1;
            while (reduction < 8 && pixels / (reduction * reduction) > kMaxAnalysedPixels) reduction *= 2;
            flags = reduction == 1 ? cv::IMREAD_COLOR
                    : reduction == 2 ? cv::IMREAD_REDUCED_COLOR_2
                    : reduction == 4 ? cv::IMREAD_REDUCED_COLOR_4
                                     : cv::IMREAD_REDUCED_COLOR_8;
            cost = 3 * pixels / (reduction * reduction);
            // A progressive picture's coefficients are kept whole however it
            // is scaled: two bytes each, a component's worth per pixel at most.
            if (header.multiScan) cost += 2 * pixels * header.samples;
            break;
        }
        case PictureFormat::Png:
        case PictureFormat::Tiff:
        case PictureFormat::WebP:
            if (header.alpha) {
                flags = cv::IMREAD_UNCHANGED;
                cost = pixels * header.samples * header.bytesPerSample;
            }
            // And a TIFF's strip or tile, read and then converted.
            if (header.format == PictureFormat::Tiff) {
                cost += 2 * std::min(header.chunkPixels, pixels) * header.samples * header.bytesPerSample;
            }
            break;
        case PictureFormat::Bmp:
            cost = 4 * pixels;
            break;
        case PictureFormat::Jpeg2000:
            if (header.alpha) flags = cv::IMREAD_UNCHANGED;
            cost = kJpeg2000Cost * pixels * std::max(header.samples, 3) / 3;
            break;
        case PictureFormat::Radiance:
            cost = kRadianceCost * pixels;
            break;
    }
    if (cost > kMaxDecoderBytes) return {};
    if (header.format == PictureFormat::Tiff && header.alpha && header.grey) {
        if (std::optional<cv::Mat> greyAlpha = decodeGreyAlphaTiff(bytes)) return *greyAlpha;
    }
    return cv::imdecode(bytes, flags);
}

}  // namespace

std::optional<PictureHeader> pictureHeader(const std::vector<unsigned char>& data) {
    using namespace std::string_view_literals;
    const Bytes b(data);
    // Only the picture formats people keep photos in reach the decoders. Left
    // to itself, OpenCV hands any bytes to the reader whose mark they carry
    // or to GDAL's hundreds of drivers, and its DICOM reader ends the process
    // on a malformed file.
    if (b.has("DICM", 128)) return std::nullopt;
    if (b.has("\xFF\xD8\xFF")) return jpegHeader(b);
    if (b.has("\x89PNG\r\n\x1A\n")) return pngHeader(b);
    if (b.has("BM")) return bmpHeader(b);
    if (b.has("II*\0"sv) || b.has("MM\0*"sv) || b.has("II+\0"sv) || b.has("MM\0+"sv)) return tiffHeader(b);
    if (b.has("RIFF") && b.has("WEBP", 8)) return webpHeader(b);
    if (b.has("\0\0\0\x0CjP  \r\n\x87\n"sv) || b.has("\xFF\x4F\xFF\x51")) return jpeg2000Header(b);
    if (b.has("#?RADIANCE\n") || b.has("#?RGBE\n")) return radianceHeader(data);
    if (isHeif(b)) return PictureHeader{PictureFormat::Heif, 1, 1};  // sized by libheif
    return std::nullopt;
}

cv::Mat readPicture(const std::string& path) {
    std::vector<unsigned char> bytes = readImageFile(path);
    const std::optional<PictureHeader> header = pictureHeader(bytes);
    cv::Mat picture;
    if (header && header->width * header->height <= maxPixels()) {
        try {
            picture = decode(bytes, *header);
            // The file's bytes go before the copy the analyses get is made.
            std::vector<unsigned char>().swap(bytes);
            if (!picture.empty() && header->format != PictureFormat::Heif) {
                picture = analysable(std::move(picture), false, premultiplied(*header));
            }
        } catch (const cv::Exception&) {
            picture.release();  // a header claiming more pixels than the decoder's limit
        }
    }
    if (picture.empty()) throw ToolError("VisionService", 400, "Failed to load image from path: " + path);
    return picture;
}

}  // namespace app::vision::module
