#include "analysis/sampling_interval.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace skarvo::analysis {

using rinex::RinexObsData;

double sampling_interval(const RinexObsData& data, std::span<const std::uint32_t> epochs) {
    if (epochs.size() >= 2) {
        const std::size_t n = std::min<std::size_t>(epochs.size(), 101);
        std::vector<double> steps;
        steps.reserve(n - 1);
        for (std::size_t i = 1; i < n; ++i) {
            const double d =
                std::abs(util::seconds_between(data.epochs[epochs[i - 1]].epoch, data.epochs[epochs[i]].epoch));
            if (d > 1e-6) steps.push_back(d);  // NaN steps fail the test too
        }
        if (!steps.empty()) {
            std::sort(steps.begin(), steps.end());
            return std::max(steps[steps.size() / 2], 0.001);
        }
    }
    // A header interval that is not a finite number says nothing usable.
    if (data.header.interval && std::isfinite(*data.header.interval)) return std::max(*data.header.interval, 0.001);
    return 30.0;
}

}  // namespace skarvo::analysis
