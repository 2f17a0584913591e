// Tells when a file in one folder is replaced, written or removed by anyone
// (inotify), so state other programs keep in files is picked up at once.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace app::platform {

class DirectoryWatch {
public:
    // Watches `directory` (made when missing) for changes of the file `name`
    // and calls onChange on a thread of its own after each. Throws
    // PlatformError when the folder cannot be watched.
    DirectoryWatch(std::string directory, std::string name, std::function<void()> onChange);
    ~DirectoryWatch();  // stops; no call is started after it returns

    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

private:
    void loop(std::stop_token stop);

    const std::string name_;
    const std::function<void()> onChange_;
    int inotify_ = -1;
    int wake_ = -1;  // an eventfd that ends the wait on stop
    std::jthread thread_;
};

}  // namespace app::platform
