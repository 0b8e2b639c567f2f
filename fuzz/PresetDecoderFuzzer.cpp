// libFuzzer target for the preset reader. Any input may be rejected, but one that reads must
// write, read back to the same preset and write again to the very same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "Models/PresetFormat.h"

namespace {

[[noreturn]] void broken(const char* what, const std::string& detail) {
    std::fprintf(stderr, "preset round trip broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qv;
    auto first = decodePreset(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!first.preset) {
        if (first.error.empty()) {
            broken("a rejected document came without a reason", "");
        }
        return 0;
    }
    auto written = encodePreset(*first.preset);
    if (!written.text) {
        broken("a preset that was read cannot be written", written.error);
    }
    auto second = decodePreset(*written.text);
    if (!second.preset) {
        broken("a written preset cannot be read", second.error + "\n" + *written.text);
    }
    if (!(*second.preset == *first.preset)) {
        broken("reading back gave a different preset", *written.text);
    }
    auto rewritten = encodePreset(*second.preset);
    if (!rewritten.text || *rewritten.text != *written.text) {
        broken("writing again gave different bytes",
               *written.text + "\n----\n" + rewritten.text.value_or(rewritten.error));
    }
    return 0;
}
