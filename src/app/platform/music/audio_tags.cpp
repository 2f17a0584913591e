// The tag reader of the music module, over TagLib.
#include "app/platform/music_module.hpp"

#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/tpropertymap.h>

#include <fcntl.h>
#include <unistd.h>

namespace app::platform {

namespace {

// The descriptor the library checked, read under the file's own name: TagLib
// tells the format by the name's extension, and never opens the path again.
class CheckedFileStream : public TagLib::IOStream {
public:
    CheckedFileStream(int fd, const std::string& path) : file_(::fcntl(fd, F_DUPFD_CLOEXEC, 0), true), name_(path) {}

    TagLib::FileName name() const override { return name_.c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override { return file_.readBlock(length); }
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return file_.isOpen(); }
    void seek(long offset, Position p) override { file_.seek(offset, p); }
    void clear() override { file_.clear(); }
    long tell() const override { return file_.tell(); }
    long length() override { return file_.length(); }
    void truncate(long) override {}

private:
    TagLib::FileStream file_;  // owns the duplicate
    std::string name_;
};

class TagLibReader : public AudioTagReader {
public:
    std::optional<AudioTags> read(int fd, const std::string& path) override {
        CheckedFileStream stream(fd, path);
        if (!stream.isOpen()) return std::nullopt;
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
