// Tells when a file in one folder is replaced, written or removed by anyone
// (inotify), so state other programs keep in files is picked up at once.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace app::platform {

class DirectoryWatch {
public:
    // Watches `directory` (made private when missing) for changes of the
    // file `name` and calls onChange on a thread of its own after each. The
    // folder itself may be replaced (moved away and made again, as sync tools
    // do): the new one is watched from then on, and that counts as a change.
    // Throws PlatformError when the folder cannot be watched.
    DirectoryWatch(std::string directory, std::string name, std::function<void()> onChange);
    ~DirectoryWatch();  // stops; no call is started after it returns

    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

private:
    void loop(std::stop_token stop);
    // Watches whatever folder is at directory_ now; false when there is none.
    bool watchFolder();

    const std::string directory_;
    const std::string parent_;
    const std::string folderName_;  // directory_'s last component
    const std::string name_;
    const std::function<void()> onChange_;
    int inotify_ = -1;
    int folderWatch_ = -1;
    int parentWatch_ = -1;
    int wake_ = -1;  // an eventfd that ends the wait on stop
    std::jthread thread_;
};

}  // namespace app::platform
