// A plug-in module for the loader's tests, built three ways: the interface
// version it reports and whether it hands out an object are set at build.
#include <string>

namespace {
std::string greeting = "hello from the plug-in";
}

extern "C" __attribute__((visibility("default"))) int test_plugin_version() { return TEST_PLUGIN_VERSION; }

extern "C" __attribute__((visibility("default"))) std::string* test_plugin_entry() {
    return TEST_PLUGIN_HAS_OBJECT ? &greeting : nullptr;
}
