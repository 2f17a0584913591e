// Where components report what they could not do themselves: never standard
// output, which belongs to the protocol stream.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

class DiagnosticSink {
public:
    virtual ~DiagnosticSink() = default;
    // Writes one line; line breaks inside the text are escaped so a call is
    // always exactly one line.
    virtual void write(std::string_view line) = 0;
};

// The program's sink: one write(2) per line on a descriptor (standard error
// by default), serialised across threads, retrying on EINTR and EAGAIN.
class StderrDiagnosticSink : public DiagnosticSink {
public:
    explicit StderrDiagnosticSink(int fd = 2) : fd_(fd) {}
    void write(std::string_view line) override;

private:
    int fd_;
    std::mutex mutex_;
};

// The text that write() puts on the line: "\n" and "\r" become the two
// characters \n and \r.
std::string diagnosticLine(std::string_view text);

}  // namespace app::platform
