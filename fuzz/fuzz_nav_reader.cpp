// RINEX navigation text: reading must never crash; a file that reads must
// give ordered, duplicate-free records, and positions of every satellite
// (at, between and far from its reference times) that are finite or absent.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "navigation/nav_data.hpp"

namespace {

void check_position(const skarvo::nav::NavData& nav, const skarvo::util::Satellite& sat, double toe) {
    using namespace skarvo;
    for (double shift : {0.0, 30.0, -450.0, 899.0, 3600.0, -7300.0, 1e7, -3e9}) {
        // Epoch fields carry: seconds past the GPS origin in the second field.
        util::Epoch e{1980, 1, 6, 0, 0, toe + shift};
        const auto p = nav.position(sat, e);
        if (p && !(std::isfinite(p->x) && std::isfinite(p->y) && std::isfinite(p->z))) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace skarvo;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto r = nav::read_nav_buffer(text);
    if (!r) {
        (void)r.error().message();
        return 0;
    }
    const nav::NavData& nav = *r;
    if (nav.kepler.size() + nav.glonass.size() > nav.num_records) __builtin_trap();
    for (std::size_t i = 1; i < nav.kepler.size(); ++i) {
        const auto& a = nav.kepler[i - 1];
        const auto& b = nav.kepler[i];
        if (util::sort_key(a.sat) > util::sort_key(b.sat)) __builtin_trap();
        if (a.sat == b.sat && !(a.toe < b.toe)) __builtin_trap();
    }
    // A bounded number of records keeps each input fast.
    for (std::size_t i = 0; i < nav.kepler.size() && i < 32; ++i) check_position(nav, nav.kepler[i].sat, nav.kepler[i].toe);
    for (std::size_t i = 0; i < nav.glonass.size() && i < 32; ++i)
        check_position(nav, nav.glonass[i].sat, nav.glonass[i].toe);
    return 0;
}
