// SP3 text: reading must never crash, and interpolating every satellite read
// (at its records' epochs, between them and far outside) must give the same
// bits by bisection as by the full scan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "navigation/sp3.hpp"

namespace {

bool same(const std::optional<skarvo::nav::Ecef>& a, const std::optional<skarvo::nav::Ecef>& b) {
    if (!a || !b) return !a && !b;
    return std::memcmp(&*a, &*b, sizeof(skarvo::nav::Ecef)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace skarvo;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto r = nav::read_sp3_buffer(text);
    if (!r) {
        (void)r.error().message();
        return 0;
    }
    const nav::Sp3Data& sp3 = *r;
    if (sp3.satellites.size() != sp3.positions.size()) __builtin_trap();
    for (std::size_t i = 0; i < sp3.satellites.size(); ++i) {
        const auto& sat = sp3.satellites[i];
        const auto& recs = sp3.positions[i];
        if (recs.empty() || sp3.find(sat) != &recs) __builtin_trap();
        // A bounded number of targets per satellite keeps each input fast.
        const std::size_t step = recs.size() / 16 + 1;
        for (std::size_t k = 0; k < recs.size(); k += step) {
            util::Epoch e = recs[k].epoch;
            for (double shift : {0.0, 0.5, 450.0, -450.0, 1e7, -3e9}) {
                util::Epoch t = e;
                t.second = e.second + shift;
                if (!same(nav::interpolate_position(sp3, sat, t), nav::interpolate_position_by_full_scan(sp3, sat, t)))
                    __builtin_trap();
            }
        }
    }
    return 0;
}
