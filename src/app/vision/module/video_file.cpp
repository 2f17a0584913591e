// Frames are converted at the size the decoder gives each one, never at the
// size the container announces: the two differ in broken and hostile files,
// and a copy sized by the header reads past the decoded picture. Their times
// are the stream's own, and reading ends where the stream does, whatever
// length and frame count the header claims.
#include "app/vision/module/video_file.hpp"

#include "app/vision/module/module_image.hpp"
#include "app/vision/module/picture_file.hpp"
#include "app/vision/vision_module.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::vision::module {

namespace {

constexpr const char* kContainers = "mov,mp4,m4a,3gp,3g2,mj2,avi,matroska,webm";
constexpr int kMaxSide = 1 << 14;
constexpr int kInputBufferBytes = 64 * 1024;

// How a stored frame is turned for display: transposed first, then mirrored.
struct Orientation {
    bool transpose = false, flipX = false, flipY = false;
};

// The track's display matrix (QuickTime layout, 16.16 fixed point: a
// displayed point is x' = a x + c y, y' = b x + d y, y pointing down), as
// phones write it for portrait video: quarter turns and mirror images. Any
// other matrix leaves the frame as stored.
Orientation orientationOf(const std::int32_t* m) {
    if (!m) return {};
    const auto sign = [](std::int32_t v) { return v > 0x8000 ? 1 : v < -0x8000 ? -1 : 0; };
    const int a = sign(m[0]), b = sign(m[1]), c = sign(m[3]), d = sign(m[4]);
    // Transposed, a stored (x, y) sits at (y, x): then x' = c y, y' = b x.
    if (a == 0 && d == 0 && b != 0 && c != 0) return {true, c < 0, b < 0};
    if (b == 0 && c == 0 && a != 0 && d != 0) return {false, a < 0, d < 0};
    return {};
}

struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

class VideoFile : public VisionVideo {
public:
    ~VideoFile() override {
        sws_freeContext(scaler_);
        av_frame_free(&shown_);
        av_frame_free(&ahead_);
        av_packet_free(&packet_);
        av_packet_free(&current_);
        av_packet_free(&next_);
        avcodec_free_context(&codec_);
        avformat_close_input(&format_);
        if (input_) av_freep(&input_->buffer);
        avio_context_free(&input_);
        if (fd_ >= 0) ::close(fd_);
    }

    // Read through a descriptor of our own, opened without blocking and
    // checked to be a regular file: FFmpeg opening the path itself would
    // hang on a FIFO put there after the caller's check.
    bool open(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kInputBufferBytes));
        if (buffer) input_ = avio_alloc_context(buffer, kInputBufferBytes, 0, &fd_, readInput, nullptr, seekInput);
        if (!input_) {
            av_free(buffer);
            return false;
        }
        format_ = avformat_alloc_context();
        if (!format_) return false;
        format_->pb = input_;
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "format_whitelist", kContainers, 0);
        const int opened = avformat_open_input(&format_, path.c_str(), nullptr, &options);  // frees format_ on failure
        av_dict_free(&options);
        if (opened < 0 || avformat_find_stream_info(format_, nullptr) < 0) return false;
        const AVCodec* decoder = nullptr;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (stream_ < 0 || !decoder) return false;
        for (unsigned i = 0; i < format_->nb_streams; ++i)
            if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
        const AVRational base = stream()->time_base;
        if (base.num <= 0 || base.den <= 0) return false;
        // A video whose pictures are larger than the picture limit is refused
        // like such a picture; a frame that grows beyond it later does not decode.
        const AVCodecParameters* parameters = stream()->codecpar;
        if (parameters->width > kMaxSide || parameters->height > kMaxSide ||
            static_cast<std::int64_t>(parameters->width) * parameters->height > maxPixels()) {
            return false;
        }
        codec_ = avcodec_alloc_context3(decoder);
        packet_ = av_packet_alloc();
        current_ = av_packet_alloc();
        next_ = av_packet_alloc();
        shown_ = av_frame_alloc();
        ahead_ = av_frame_alloc();
        if (!codec_ || !packet_ || !current_ || !next_ || !shown_ || !ahead_ ||
            avcodec_parameters_to_context(codec_, parameters) < 0) {
            return false;
        }
        // The decoder counts its buffer's padded rows (up to 64 bytes more
        // each) against this: the exact limit is kept where frames are converted.
        codec_->max_pixels = maxPixels() + std::int64_t{64} * kMaxSide;
        // Slices only: frame threads each hold frames of their own.
        codec_->thread_type = FF_THREAD_SLICE;
        if (avcodec_open2(codec_, decoder, nullptr) < 0) return false;
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec_->codec_id);
        intraOnly_ = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
        origin_ = stream()->start_time != AV_NOPTS_VALUE ? stream()->start_time : 0;
        for (AVRational rate : {stream()->avg_frame_rate, stream()->r_frame_rate}) {
            if (rate.num > 0 && rate.den > 0) {
                frameTicks_ = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), base));
                break;
            }
        }
        orientation_ = orientationOf(
            reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(stream(), AV_PKT_DATA_DISPLAYMATRIX, nullptr)));
        return true;
    }

    std::pair<std::int64_t, std::int64_t> timeBase() const override {
        return {stream()->time_base.num, stream()->time_base.den};
    }

    std::optional<FrameSpan> nextFrame(std::stop_token stop) override {
        std::lock_guard lock(mutex_);
        return intraOnly_ ? nextPacketSpan(stop) : nextDecodedSpan(stop);
    }

    ImageRef picture(int maxSide) override {
        std::lock_guard lock(mutex_);
        if (!intraOnly_) return shownValid_ ? converted(shown_, maxSide) : nullptr;
        // An intra-only stream's packets are its frames: only the frames
        // looked at are decoded.
        if (!currentValid_ || avcodec_send_packet(codec_, current_) < 0) return nullptr;
        ImageRef image;
        while (avcodec_receive_frame(codec_, shown_) == 0) {
            if (!image) image = converted(shown_, maxSide);
            av_frame_unref(shown_);
        }
        return image;
    }

private:
    static std::int64_t maxPixels() { return std::atoll(kMaxImagePixels); }

    static int readInput(void* fd, std::uint8_t* buffer, int size) {
        for (;;) {
            const ssize_t n = ::read(*static_cast<int*>(fd), buffer, static_cast<std::size_t>(size));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return AVERROR(errno);
            return n == 0 ? AVERROR_EOF : static_cast<int>(n);
        }
    }

    static std::int64_t seekInput(void* fd, std::int64_t offset, int whence) {
        struct stat st {};
        if (whence == AVSEEK_SIZE) return ::fstat(*static_cast<int*>(fd), &st) == 0 ? st.st_size : AVERROR(errno);
        const off_t at = ::lseek(*static_cast<int*>(fd), offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : at;
    }

    AVStream* stream() const { return format_->streams[stream_]; }

    // A time on the stream's clock from the start of the video; a frame
    // without one starts where the one before it ended.
    std::int64_t startOf(std::int64_t timestamp) const {
        std::int64_t time = 0;
        if (timestamp == AV_NOPTS_VALUE) return lastEnd_;
        return __builtin_sub_overflow(timestamp, origin_, &time) ? timestamp : time;
    }

    // After the last frame: its own length when the file gives one.
    std::int64_t endOfLast(std::int64_t start, std::int64_t duration) const {
        const std::int64_t length = duration > 0 ? duration : frameTicks_;
        return start <= std::numeric_limits<std::int64_t>::max() - length ? start + length : start;
    }

    // The next packet of the video stream, in packet_; false at the end.
    bool readPacket(std::stop_token stop) {
        while (!stop.stop_requested()) {
            av_packet_unref(packet_);
            if (av_read_frame(format_, packet_) < 0) return false;
            if (packet_->stream_index == stream_) return true;
        }
        return false;
    }

    std::optional<FrameSpan> nextPacketSpan(std::stop_token stop) {
        if (!started_) {
            started_ = true;
            nextValid_ = readPacket(stop);
            if (nextValid_) av_packet_move_ref(next_, packet_);
        }
        av_packet_unref(current_);
        currentValid_ = nextValid_;
        if (!currentValid_) return std::nullopt;
        av_packet_move_ref(current_, next_);
        nextValid_ = readPacket(stop);
        if (nextValid_) av_packet_move_ref(next_, packet_);
        const std::int64_t start = startOf(current_->pts != AV_NOPTS_VALUE ? current_->pts : current_->dts);
        const std::int64_t nextTime = nextValid_ ? (next_->pts != AV_NOPTS_VALUE ? next_->pts : next_->dts) : AV_NOPTS_VALUE;
        const FrameSpan span{start, nextTime != AV_NOPTS_VALUE ? startOf(nextTime) : endOfLast(start, current_->duration)};
        lastEnd_ = span.end;
        return span;
    }

    // The next frame out of the decoder, into frame; false at the end.
    bool decodeInto(AVFrame* frame, std::stop_token stop) {
        for (;;) {
            if (stop.stop_requested()) return false;
            const int received = avcodec_receive_frame(codec_, frame);
            if (received == 0) return true;
            if (received != AVERROR(EAGAIN) || draining_) return false;
            if (!readPacket(stop)) {
                if (stop.stop_requested()) return false;
                draining_ = true;
                avcodec_send_packet(codec_, nullptr);
            } else {
                avcodec_send_packet(codec_, packet_);  // a packet that does not decode gives no frame
            }
        }
    }

    // The frame shown is held while the one after it is decoded: that one's
    // time is where it ends.
    std::optional<FrameSpan> nextDecodedSpan(std::stop_token stop) {
        if (!started_) {
            started_ = true;
            aheadValid_ = decodeInto(ahead_, stop);
        }
        av_frame_unref(shown_);
        shownValid_ = aheadValid_;
        if (!shownValid_) return std::nullopt;
        av_frame_move_ref(shown_, ahead_);
        aheadValid_ = decodeInto(ahead_, stop);
        const std::int64_t start = startOf(shown_->best_effort_timestamp);
        const FrameSpan span{start, aheadValid_ && ahead_->best_effort_timestamp != AV_NOPTS_VALUE
                                        ? startOf(ahead_->best_effort_timestamp)
                                        : endOfLast(start, shown_->pkt_duration)};
        lastEnd_ = span.end;
        return span;
    }

    // The frame as shown, reduced to fit maxSide x maxSide: what the
    // analyses look at, and all that is kept of it.
    ImageRef converted(const AVFrame* frame, int maxSide) {
        const int width = frame->width, height = frame->height;
        if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || frame->format < 0 ||
            static_cast<std::int64_t>(width) * height > maxPixels()) {
            return nullptr;
        }
        const double scale = std::min(1.0, static_cast<double>(std::max(1, maxSide)) / std::max(width, height));
        const int outWidth = std::max(1, static_cast<int>(std::lround(width * scale)));
        const int outHeight = std::max(1, static_cast<int>(std::lround(height * scale)));
        // A frame with alpha is put on white, as a picture is.
        const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
        const bool alpha = format && (format->flags & AV_PIX_FMT_FLAG_ALPHA);
        scaler_ = sws_getCachedContext(scaler_, width, height, static_cast<AVPixelFormat>(frame->format), outWidth,
                                       outHeight, alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24,
                                       scale < 1 ? SWS_AREA : SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!scaler_) return nullptr;
        // Into rows of exactly the picture's width libswscale writes whole
        // words past the end of the picture, and leaves the last pixels of
        // some rows unwritten: it converts into a frame allocated the way
        // FFmpeg allocates its own, rows aligned and padded, and the visible
        // pixels are copied out.
        const std::unique_ptr<AVFrame, FrameFree> out(av_frame_alloc());
        if (!out) return nullptr;
        out->format = alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
        out->width = outWidth;
        out->height = outHeight;
        if (av_frame_get_buffer(out.get(), 0) < 0 ||
            sws_scale(scaler_, frame->data, frame->linesize, 0, height, out->data, out->linesize) != outHeight) {
            return nullptr;
        }
        try {
            cv::Mat view(outHeight, outWidth, alpha ? CV_8UC4 : CV_8UC3, out->data[0], out->linesize[0]);
            cv::Mat bgr = (alpha ? onWhite(view) : view).clone();  // onWhite works in the frame's buffer
            // Every analysis sees the frame the way it is shown.
            if (orientation_.transpose) {
                cv::Mat turned;
                cv::transpose(bgr, turned);
                bgr = turned;
            }
            if (orientation_.flipX || orientation_.flipY) {
                cv::flip(bgr, bgr, orientation_.flipX && orientation_.flipY ? -1 : orientation_.flipX ? 1 : 0);
            }
            return std::make_shared<MatImage>(std::move(bgr), MatImage::Kind::VideoFrame);
        } catch (const cv::Exception&) {
            return nullptr;
        }
    }

    int fd_ = -1;
    AVIOContext* input_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVPacket* current_ = nullptr;  // intra-only: the frame given last, and the one after it
    AVPacket* next_ = nullptr;
    AVFrame* shown_ = nullptr;  // otherwise: the frame given last, and the one after it
    AVFrame* ahead_ = nullptr;
    SwsContext* scaler_ = nullptr;
    int stream_ = -1;
    bool intraOnly_ = false;
    bool started_ = false, draining_ = false;
    bool currentValid_ = false, nextValid_ = false, shownValid_ = false, aheadValid_ = false;
    Orientation orientation_;
    std::int64_t origin_ = 0;      // the stream's start, on its clock
    std::int64_t frameTicks_ = 1;  // one frame's length at the stream's rate
    std::int64_t lastEnd_ = 0;
    std::mutex mutex_;
};

}  // namespace

std::shared_ptr<VisionVideo> openVideoFile(const std::string& path) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });  // a broken file is answered, not logged
    auto video = std::make_shared<VideoFile>();
    return video->open(path) ? video : nullptr;
}

}  // namespace app::vision::module
