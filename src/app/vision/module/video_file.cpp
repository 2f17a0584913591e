// Frames are converted at the size the decoder gives each one, never at the
// size the container announces: the two differ in broken and hostile files,
// and a copy sized by the header reads past the decoded picture.
#include "app/vision/module/video_file.hpp"

#include "app/vision/module/module_image.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

#include <cerrno>
#include <cmath>
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

class VideoFile : public VisionVideo {
public:
    ~VideoFile() override {
        sws_freeContext(scaler_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
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
        codec_ = avcodec_alloc_context3(decoder);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        if (!codec_ || !packet_ || !frame_ || avcodec_parameters_to_context(codec_, stream()->codecpar) < 0) return false;
        // Slices only: frame threads hold frames back, and a frame's index
        // is the count of frames before it.
        codec_->thread_type = FF_THREAD_SLICE;
        if (avcodec_open2(codec_, decoder, nullptr) < 0) return false;
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec_->codec_id);
        intraOnly_ = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
        orientation_ = orientationOf(
            reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(stream(), AV_PKT_DATA_DISPLAYMATRIX, nullptr)));
        return true;
    }

    std::int64_t frameCount() const override {
        if (stream()->nb_frames > 0) return stream()->nb_frames;
        double seconds = 0;
        if (stream()->duration != AV_NOPTS_VALUE) {
            seconds = static_cast<double>(stream()->duration) * av_q2d(stream()->time_base);
        } else if (format_->duration != AV_NOPTS_VALUE) {
            seconds = static_cast<double>(format_->duration) / AV_TIME_BASE;
        }
        const double count = std::floor(seconds * framesPerSecond() + 0.5);
        return count >= 0 && count < 1e15 ? static_cast<std::int64_t>(count) : 0;
    }

    double framesPerSecond() const override {
        for (AVRational rate : {stream()->avg_frame_rate, stream()->r_frame_rate})
            if (rate.num > 0 && rate.den > 0) return av_q2d(rate);
        return 0;
    }

    ImageRef frame(std::int64_t index) override {
        std::lock_guard lock(mutex_);
        if (index < 0 || (index < next_ && !rewind())) return nullptr;
        while (next_ < index) {
            if (!(intraOnly_ ? skipPacket() : decodeNext())) return nullptr;
        }
        return decodeNext() ? converted() : nullptr;
    }

private:
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

    bool rewind() {
        if (av_seek_frame(format_, stream_, 0, AVSEEK_FLAG_BACKWARD) < 0) return false;
        avcodec_flush_buffers(codec_);
        next_ = 0;
        draining_ = false;
        return true;
    }

    // The next packet of the video stream, in packet_; false at the end.
    bool readPacket() {
        for (;;) {
            av_packet_unref(packet_);
            if (av_read_frame(format_, packet_) < 0) return false;
            if (packet_->stream_index == stream_) return true;
        }
    }

    // An intra-only stream's packets are its frames: passed over undecoded.
    bool skipPacket() {
        if (!readPacket()) return false;
        ++next_;
        return true;
    }

    // The next frame, decoded into frame_; false at the end of the stream.
    // A frame that does not decode still counts, so that indices stay those
    // of the file.
    bool decodeNext() {
        for (;;) {
            const int received = avcodec_receive_frame(codec_, frame_);
            if (received == 0) {
                ++next_;
                return true;
            }
            if (received != AVERROR(EAGAIN)) {  // the end, or a frame that does not decode
                if (received != AVERROR_EOF && intraOnly_) ++next_;
                return false;
            }
            if (draining_) return false;
            if (!readPacket()) {
                draining_ = true;
                avcodec_send_packet(codec_, nullptr);
            } else if (avcodec_send_packet(codec_, packet_) < 0 && intraOnly_) {
                ++next_;
                return false;
            }
        }
    }

    ImageRef converted() {
        const int width = frame_->width, height = frame_->height;
        if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || frame_->format < 0) return nullptr;
        scaler_ = sws_getCachedContext(scaler_, width, height, static_cast<AVPixelFormat>(frame_->format), width, height,
                                       AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!scaler_) return nullptr;
        try {
            cv::Mat bgr(height, width, CV_8UC3);
            std::uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
            const int strides[4] = {static_cast<int>(bgr.step), 0, 0, 0};
            if (sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, strides) != height) return nullptr;
            // Every analysis sees the frame the way it is shown.
            if (orientation_.transpose) {
                cv::Mat turned;
                cv::transpose(bgr, turned);
                bgr = turned;
            }
            if (orientation_.flipX || orientation_.flipY) {
                cv::flip(bgr, bgr, orientation_.flipX && orientation_.flipY ? -1 : orientation_.flipX ? 1 : 0);
            }
            return std::make_shared<MatImage>(std::move(bgr));
        } catch (const cv::Exception&) {
            return nullptr;
        }
    }

    int fd_ = -1;
    AVIOContext* input_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwsContext* scaler_ = nullptr;
    int stream_ = -1;
    bool intraOnly_ = false;
    bool draining_ = false;
    Orientation orientation_;
    std::int64_t next_ = 0;  // index of the frame read next
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
