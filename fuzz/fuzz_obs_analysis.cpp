// The multipath analysis of whatever the observation reader makes of
// arbitrary bytes (decoded by their content). Neither may crash
// or touch memory it does not own.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "analysis/multipath.hpp"
#include "rinex/obs_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto read = skarvo::rinex::read_obs_buffer(bytes);
    if (!read) {
        (void)read.error().message();
        return 0;
    }
    auto shared = std::make_shared<const skarvo::rinex::RinexObsData>(std::move(read).value());
    skarvo::analysis::MultipathOptions options;
    options.bias_window_s = 120.0;
    options.min_arc_s = 0.0;
    auto config = skarvo::analysis::make_multipath_config(shared, options);
    if (config) (void)skarvo::analysis::run_multipath_analysis(*config);
    return 0;
}
