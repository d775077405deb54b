// Epoch text parsing and every conversion built on an epoch: must never
// crash, and a parsed epoch must convert without undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utils/time.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto r = skarvo::util::parse_epoch(text);
    if (r) {
        const auto& e = *r;
        (void)skarvo::util::iso_text(e);
        (void)skarvo::util::unix_millis(e);
        (void)skarvo::util::unix_seconds(e);
        (void)skarvo::util::gps_time(e);
        (void)skarvo::util::julian_date(e);
        (void)skarvo::util::day_of_year(e);
        (void)skarvo::util::seconds_between(e, skarvo::util::Epoch{});
    } else {
        (void)r.error().message();
    }
    return 0;
}
