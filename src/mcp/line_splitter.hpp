// Splits newline-delimited input into messages, over plain byte buffers: the
// stdio transport feeds it what it reads, and a fuzzer can feed it anything.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>

namespace mcp {

class LineSplitter {
public:
    // What a line may hold at most; a longer one is dropped as it streams past.
    static constexpr std::size_t kDefaultMaxLine = std::size_t{64} << 20;
    // What is kept of an overlong line to answer it.
    static constexpr std::size_t kOverlongStart = 4096;

    explicit LineSplitter(std::size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine) {}
    ~LineSplitter() { std::free(pending_); }
    LineSplitter(const LineSplitter&) = delete;
    LineSplitter& operator=(const LineSplitter&) = delete;

    // Calls onLine(std::string_view) for every complete line that is not blank
    // (JSON whitespace only), carriage return kept, and
    // onOverlong(std::string_view) once for every line longer than the limit,
    // with the line's first kOverlongStart bytes (where its id is, as a rule).
    // The views live until the call returns.
    template <class OnLine, class OnOverlong>
    void feed(std::string_view chunk, OnLine&& onLine, OnOverlong&& onOverlong);

    // End of input: the unterminated last line, if it is not blank, is a
    // message too (an overlong one is reported instead).
    template <class OnLine, class OnOverlong>
    void finish(OnLine&& onLine, OnOverlong&& onOverlong);

    // Bytes held for the line being read.
    std::size_t pendingSize() const { return size_; }

    static bool isBlank(std::string_view line);

private:
    // False when the line grew past the limit: it is then skipped to its end.
    bool append(std::string_view bytes);
    // Forgets the line; a buffer grown large is given back.
    void reset(bool skipping = false);
    // The start of an overlong line: the bytes held, then those of `more`;
    // as long whichever way the line was cut into reads.
    std::string overlongStart(std::string_view more) const;
    std::size_t startSize() const { return maxLine_ < kOverlongStart ? maxLine_ + 1 : kOverlongStart; }

    const std::size_t maxLine_;
    // realloc'd rather than a std::string: a growing line is moved in place
    // instead of being copied, so it costs its size once, not twice.
    char* pending_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool skipping_ = false;  // inside an overlong line, already reported
};

template <class OnLine, class OnOverlong>
void LineSplitter::feed(std::string_view chunk, OnLine&& onLine, OnOverlong&& onOverlong) {
    while (!chunk.empty()) {
        const std::size_t newline = chunk.find('\n');
        const std::string_view head = chunk.substr(0, newline);
        if (newline == std::string_view::npos) {
            if (!skipping_ && !append(head)) {
                const std::string start = overlongStart(head);
                reset(true);
                onOverlong(std::string_view(start));
            }
            return;
        }
        chunk.remove_prefix(newline + 1);
        if (skipping_) {
            reset();
            continue;
        }
        if (size_ == 0) {
            // The common case: the whole line is in this chunk, no copy.
            if (head.size() > maxLine_) {
                onOverlong(head.substr(0, startSize()));
            } else if (!isBlank(head)) {
                onLine(head);
            }
            continue;
        }
        if (!append(head)) {
            const std::string start = overlongStart(head);
            reset();
            onOverlong(std::string_view(start));
            continue;
        }
        const std::string_view line(pending_, size_);
        if (!isBlank(line)) onLine(line);
        reset();
    }
}

template <class OnLine, class OnOverlong>
void LineSplitter::finish(OnLine&& onLine, OnOverlong&&) {
    if (!skipping_ && size_ > 0) {
        const std::string_view line(pending_, size_);
        if (!isBlank(line)) onLine(line);
    }
    reset();
}

}  // namespace mcp
