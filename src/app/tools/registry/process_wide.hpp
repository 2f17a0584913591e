// The process-wide instance of a service the design names as shared.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace app::tools {

// Made by the first call whose `make` returns (a throwing `make` leaves it to
// the next call); every later call returns it and does not run `make`.
template <class T>
std::shared_ptr<T> processWide(const std::function<std::shared_ptr<T>()>& make) {
    static std::once_flag once;
    static std::shared_ptr<T> instance;
    std::call_once(once, [&] { instance = make(); });
    return instance;
}

}  // namespace app::tools
