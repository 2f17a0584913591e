// The tag reader of the music module, over TagLib.
#include "app/platform/music_module.hpp"

#include <taglib/fileref.h>
#include <taglib/tiostream.h>
#include <taglib/tpropertymap.h>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

namespace {

// The descriptor the library checked, read under the file's own name: TagLib
// tells the format by the name's extension, and never opens the path again.
// Read with pread and nothing else, so that what TagLib reads is all that is
// read, and that is bounded whatever the file's size. TagLib looks for a tag
// or a frame 1 KiB at a time, on to the end of a file that holds none (a
// download preallocated with zeros: a minute per GiB), and reads a tag it has
// found in one read of the tag's size; so reads of a search block have a
// budget of their own, and all reads a larger one. Past either, or once
// stopped, a read gives nothing, as at the end of the file.
class BoundedFileStream : public TagLib::IOStream {
public:
    static constexpr long searchBlock = 1024;
    static constexpr long searchBudget = 1024 * 1024;
    static constexpr long readBudget = 64 * 1024 * 1024;

    BoundedFileStream(int fd, const std::string& path, std::stop_token stop)
        : fd_(fd), name_(path), stop_(std::move(stop)) {
        struct stat info {};
        // The size when opened: a file still being written grows no budget.
        if (::fstat(fd_, &info) == 0) size_ = static_cast<long>(info.st_size);
    }

    TagLib::FileName name() const override { return name_.c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override {
        const long wanted = position_ >= size_ ? 0 : static_cast<long>(std::min<unsigned long>(length, size_ - position_));
        read_ += wanted;
        if (wanted <= searchBlock) searched_ += wanted;
        if (wanted == 0 || read_ > readBudget || searched_ > searchBudget || stop_.stop_requested()) return {};
        TagLib::ByteVector block(static_cast<unsigned int>(wanted));
        long got = 0;
        while (got < wanted) {
            const ssize_t n = ::pread(fd_, block.data() + got, static_cast<std::size_t>(wanted - got), position_ + got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // an error reads as the end of the file
            got += n;
        }
        block.resize(static_cast<unsigned int>(got));
        position_ += got;
        return block;
    }
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return true; }
    void seek(long offset, Position p) override {
        const long to = offset + (p == Beginning ? 0 : p == Current ? position_ : size_);
        if (to >= 0) position_ = to;  // as fseek: no position before the start
    }
    long tell() const override { return position_; }
    long length() override { return size_; }
    void truncate(long) override {}

private:
    const int fd_;
    std::string name_;
    std::stop_token stop_;
    long size_ = 0;
    long position_ = 0;
    long read_ = 0;
    long searched_ = 0;
};

class TagLibReader : public AudioTagReader {
public:
    std::optional<AudioTags> read(int fd, const std::string& path, std::stop_token stop) override {
        BoundedFileStream stream(fd, path, std::move(stop));
        // Audio properties are not needed: reading them costs a scan of the file.
        TagLib::FileRef file(&stream, false);
        if (file.isNull() || !file.file()->isValid()) return std::nullopt;
        const TagLib::PropertyMap properties = file.file()->properties();
        auto joined = [&](const char* key) {
            auto it = properties.find(key);
            return it == properties.end() ? std::string() : it->second.toString(", ").to8Bit(true);
        };
        return AudioTags{joined("TITLE"), joined("ARTIST"), joined("ALBUM")};
    }
};

}  // namespace

std::unique_ptr<AudioTagReader> makeTagLibReader() { return std::make_unique<TagLibReader>(); }

}  // namespace app::platform
