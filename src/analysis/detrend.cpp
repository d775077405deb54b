#include "analysis/detrend.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <limits>

namespace skarvo::analysis {

std::vector<ArcRange> split_arcs(std::span<const double> times, double dt, double gap_factor) {
    std::vector<ArcRange> arcs;
    if (times.empty()) return arcs;
    const double gap = gap_factor * dt;
    std::size_t start = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i] - times[i - 1] > gap) {
            arcs.push_back({start, i});
            start = i;
        }
    }
    arcs.push_back({start, times.size()});
    return arcs;
}

std::optional<double> median_step(std::span<const double> times) {
    if (times.size() < 2) return std::nullopt;
    std::vector<double> d(times.size() - 1);
    for (std::size_t i = 0; i + 1 < times.size(); ++i) d[i] = times[i + 1] - times[i];
    // A total order (NaN last) keeps the sort well defined for any input.
    std::sort(d.begin(), d.end(), [](double a, double b) {
        if (std::isnan(a)) return false;
        if (std::isnan(b)) return true;
        return a < b;
    });
    const std::size_t m = d.size();
    if (m % 2 == 1) return d[m / 2];
    return (d[m / 2 - 1] + d[m / 2]) * 0.5;
}

util::Result<DetrendResult> detrend_arc(std::span<const double> t, std::span<const double> v, std::size_t max_order) {
    if (t.size() != v.size()) return util::GnssError(util::ErrorKind::Other, "t and values must have the same length");
    const std::size_t n = v.size();
    DetrendResult out;
    if (n == 0) return out;
    double sum = 0.0;
    for (double x : v) sum += x;
    const double mean = sum / static_cast<double>(n);
    auto mean_removed = [&] {
        out.residual.resize(n);
        for (std::size_t i = 0; i < n; ++i) out.residual[i] = v[i] - mean;
        out.order = 0;
        return out;
    };
    // Highest order tried: k <= max_order and n > 3k.
    const std::size_t top = std::min(max_order, (n - 1) / 3);
    if (n < 12 || top < 2) return mean_removed();

    const double t0 = t[0];
    const double span = t[n - 1] - t[0];
    const double s = span > 1.0 ? span : 1.0;  // also 1.0 when span is not a number
    const std::size_t cols = top + 1;
    // Design matrix of all orders at once, column-major: column j holds x^j,
    // so the matrix of order k is its first k+1 columns.
    std::vector<double> design(n * cols);
    std::size_t first_bad_column = cols;
    for (std::size_t i = 0; i < n; ++i) design[i] = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = (t[i] - t0) / s;
        double p = 1.0;
        for (std::size_t j = 1; j < cols; ++j) {
            p *= x;
            design[j * n + i] = p;
            if (!std::isfinite(p) && j < first_bad_column) first_bad_column = j;
        }
    }
    using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor>;
    const Eigen::Map<const Matrix> A(design.data(), static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(cols));
    const Eigen::Map<const Eigen::VectorXd> values(v.data(), static_cast<Eigen::Index>(n));
    constexpr double eps = std::numeric_limits<double>::epsilon();

    bool have = false;
    double best_rms = 0.0;
    Eigen::VectorXd residual(static_cast<Eigen::Index>(n));
    for (std::size_t k = 2; k <= top; ++k) {
        double rms;
        if (k >= first_bad_column) {
            // Powers of the scaled time overflow (times far from increasing):
            // no fit exists, and the SVD is not given non-finite input.
            residual.setConstant(std::numeric_limits<double>::quiet_NaN());
            rms = std::numeric_limits<double>::quiet_NaN();
        } else {
            const auto Ak = A.leftCols(static_cast<Eigen::Index>(k + 1));
            Eigen::JacobiSVD<Matrix> svd(Ak, Eigen::ComputeThinU | Eigen::ComputeThinV);
            const Eigen::VectorXd& sigma = svd.singularValues();
            const double cutoff = sigma.size() ? sigma(0) * static_cast<double>(n) * eps : 0.0;
            Eigen::VectorXd uv = svd.matrixU().transpose() * values;
            for (Eigen::Index i = 0; i < sigma.size(); ++i) uv(i) = sigma(i) > cutoff ? uv(i) / sigma(i) : 0.0;
            const Eigen::VectorXd c = svd.matrixV() * uv;
            residual = values - Ak * c;
            rms = std::sqrt(residual.squaredNorm() / static_cast<double>(n));
        }
        if (!have || rms < best_rms) {
            have = true;
            best_rms = rms;
            out.residual.assign(residual.data(), residual.data() + n);
            out.order = static_cast<unsigned>(k);
        }
    }
    return out;
}

}  // namespace skarvo::analysis
