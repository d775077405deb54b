// Satellite identifiers, observation codes and the number parsers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rinex/types.hpp"
#include "utils/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto sat = skarvo::util::parse_satellite(text)) (void)sat->id();
    if (auto code = skarvo::util::parse_obs_code(text)) (void)code->text();
    double d;
    (void)skarvo::util::parse_f64(text, d);
    std::int64_t i;
    (void)skarvo::util::parse_int(text, i);
    (void)skarvo::util::trim(text);
    (void)skarvo::util::valid_utf8(text);
    skarvo::util::for_each_word(text, [](std::string_view) { return true; });
    return 0;
}
