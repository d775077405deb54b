// The input room on arbitrary bytes: whatever the first bytes say (plain,
// gzip, compress, compact RINEX, or a stack of them), reading every line
// must end, without a crash, with the lines or one error; no line may pass
// the line limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "io/input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto input = skarvo::io::open_memory(bytes);
    if (!input) {
        (void)input.error().message();
        return 0;
    }
    skarvo::io::Line line;
    std::uint64_t expected = 0;
    while (input->lines->next(line)) {
        if (line.index != expected++ || line.text.size() > 4 * 1024 * 1024) std::abort();
    }
    if (input->lines->error()) (void)input->lines->error()->message();
    return 0;
}
