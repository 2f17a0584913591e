#include "mcp/line_splitter.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace mcp {

bool LineSplitter::isBlank(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

void LineSplitter::reset(bool skipping) {
    size_ = 0;
    skipping_ = skipping;
    if (capacity_ > (std::size_t{1} << 20)) {
        std::free(pending_);
        pending_ = nullptr;
        capacity_ = 0;
    }
}

std::string LineSplitter::overlongStart(std::string_view more) const {
    std::string start(pending_ ? pending_ : "", std::min(size_, startSize()));
    start.append(more.substr(0, startSize() - start.size()));
    return start;
}

bool LineSplitter::append(std::string_view bytes) {
    if (bytes.size() > maxLine_ - size_) return false;
    if (size_ + bytes.size() > capacity_) {
        const std::size_t wanted = std::min(maxLine_, std::max({size_ + bytes.size(), capacity_ * 2, std::size_t{4096}}));
        void* grown = std::realloc(pending_, wanted);
        if (grown == nullptr) throw std::bad_alloc();
        pending_ = static_cast<char*>(grown);
        capacity_ = wanted;
    }
    std::memcpy(pending_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    return true;
}

}  // namespace mcp
