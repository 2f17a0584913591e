#include "support/recording_url_opener.hpp"

namespace app::platform {

void RecordingUrlOpener::open(const std::string& url) {
    std::lock_guard lock(mutex_);
    urls_.push_back(url);
}

std::vector<std::string> RecordingUrlOpener::urls() const {
    std::lock_guard lock(mutex_);
    return urls_;
}

}  // namespace app::platform
