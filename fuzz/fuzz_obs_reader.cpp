// The observation reader on arbitrary bytes, decoded by their content (plain,
// gzip, ...). A successful read must leave consistent storage.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "rinex/obs_queries.hpp"
#include "rinex/obs_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto result = skarvo::rinex::read_obs_buffer(bytes);
    if (!result) {
        (void)result.error().message();
        return 0;
    }
    const auto& d = *result;
    std::uint32_t sat = 0, obs = 0;
    for (const auto& e : d.epochs) {
        if (e.sat_begin != sat || e.sat_end < e.sat_begin || e.sat_end > d.sat_obs.size()) std::abort();
        for (std::uint32_t i = e.sat_begin; i < e.sat_end; ++i) {
            const auto& s = d.sat_obs[i];
            if (s.begin != obs || s.end < s.begin || s.end > d.obs.size()) std::abort();
            obs = s.end;
            for (std::uint32_t j = e.sat_begin; j < i; ++j)
                if (d.sat_obs[j].sat == s.sat) std::abort();
        }
        sat = e.sat_end;
    }
    if (sat != d.sat_obs.size() || obs != d.obs.size()) std::abort();
    (void)skarvo::rinex::distinct_satellites(d);
    (void)skarvo::rinex::sampling_interval(d);
    for (auto sys : skarvo::util::all_systems) (void)skarvo::rinex::observation_types(d, sys);
    return 0;
}
