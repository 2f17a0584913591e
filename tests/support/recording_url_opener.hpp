// A URL opener that only remembers what it was asked to open.
#pragma once

#include "app/platform/url_opener.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace app::platform {

// Remembers the URLs.
class RecordingUrlOpener : public UrlOpener {
public:
    void open(const std::string& url) override;
    std::vector<std::string> urls() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
};

}  // namespace app::platform
