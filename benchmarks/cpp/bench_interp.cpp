// Throughput of interpolate_position on one core for a 96-record satellite,
// against two baselines measured in the same run:
//   sort-per-call: gathers every record, stable-sorts them by distance on a
//                  Julian-date time axis and takes nine (the straightforward
//                  method, O(n log n) per call);
//   full-scan:     interpolate_position_by_full_scan (one pass over the
//                  nodes, no bisection).
// Usage: bench_interp [path/to/file.sp3]   (default: a synthetic 96-epoch day)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "navigation/sp3.hpp"

using namespace skarvo;

namespace {

std::string synthetic_day() {
    std::string text = "#cP2021  1  1  0  0  0.00000000      96 ORBIT IGb14 HLM  IGS\n";
    char buf[128];
    for (int k = 0; k < 96; ++k) {
        const int sod = 900 * k;
        std::snprintf(buf, sizeof buf, "*  2021  1  1 %2d %2d  0.00000000\n", sod / 3600, sod / 60 % 60);
        text += buf;
        const double w = 2.0 * M_PI * sod / 43082.0;
        std::snprintf(buf, sizeof buf, "PG01%14.6f%14.6f%14.6f%14.6f\n", 26560.0 * std::cos(w),
                      21000.0 * std::sin(w), 16000.0 * std::sin(w + 1.0), 12.5);
        text += buf;
    }
    return text;
}

// The straightforward method, as a baseline.
std::optional<nav::Ecef> sort_per_call(const nav::Sp3Data& sp3, const util::Satellite& sat, const util::Epoch& e) {
    const auto* recs = sp3.find(sat);
    if (!recs || recs->size() < 9) return std::nullopt;
    const double jt = util::julian_date(e);
    struct Item {
        double d;
        const nav::Sp3Record* r;
    };
    std::vector<Item> items;
    items.reserve(recs->size());
    for (const auto& r : *recs) items.push_back({std::fabs(jt - util::julian_date(r.epoch)) * 86400.0, &r});
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.d < b.d; });
    items.resize(9);
    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        return (util::julian_date(a.r->epoch) - util::julian_date(b.r->epoch)) * 86400.0 < -1e-9;
    });
    const double t = jt * 86400.0;
    double tn[9], dt[9], px[9], py[9], pz[9];
    for (int i = 0; i < 9; ++i) {
        tn[i] = util::julian_date(items[static_cast<std::size_t>(i)].r->epoch) * 86400.0;
        dt[i] = tn[i] - t;
        px[i] = items[static_cast<std::size_t>(i)].r->x;
        py[i] = items[static_cast<std::size_t>(i)].r->y;
        pz[i] = items[static_cast<std::size_t>(i)].r->z;
    }
    for (int m = 1; m < 9; ++m)
        for (int i = 0; i + m < 9; ++i) {
            const double den = tn[i + m] - tn[i];
            px[i] = (dt[i + m] * px[i] - dt[i] * px[i + 1]) / den;
            py[i] = (dt[i + m] * py[i] - dt[i] * py[i + 1]) / den;
            pz[i] = (dt[i + m] * pz[i] - dt[i] * pz[i + 1]) / den;
        }
    return nav::Ecef{px[0], py[0], pz[0]};
}

template <class F>
double calls_per_second(F&& f, const std::vector<util::Epoch>& targets, std::size_t calls, double& sink) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t done = 0;
    while (done < calls) {
        for (const auto& e : targets) {
            if (auto p = f(e)) sink += p->x;
            if (++done == calls) break;
        }
    }
    const std::chrono::duration<double> s = std::chrono::steady_clock::now() - start;
    return static_cast<double>(calls) / s.count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    auto r = argc > 1 ? nav::read_sp3_file(argv[1]) : nav::read_sp3_buffer(synthetic_day());
    if (!r) {
        std::printf("cannot read: %s\n", r.error().message().c_str());
        return 1;
    }
    const nav::Sp3Data& sp3 = *r;
    const util::Satellite sat = sp3.satellites.front();
    const auto* recs = sp3.find(sat);
    std::printf("satellite %s: %zu records%s\n", sat.id().c_str(), recs->size(), argc > 1 ? "" : " (synthetic day)");

    // Every 30 s of the day, with a fractional second, as an analysis asks.
    std::vector<util::Epoch> targets;
    const util::Epoch first = recs->front().epoch;
    for (int k = 0; k < 2880; ++k) {
        const int sod = 30 * k;
        targets.push_back({first.year, first.month, first.day, static_cast<std::uint32_t>(sod / 3600),
                           static_cast<std::uint32_t>(sod / 60 % 60), (sod % 60) + 0.25});
    }

    double sink = 0.0;
    std::vector<double> base, scan, fast;
    const int runs = 7;
    for (int run = 0; run < runs; ++run) {
        base.push_back(calls_per_second([&](const util::Epoch& e) { return sort_per_call(sp3, sat, e); }, targets,
                                        200000, sink));
        scan.push_back(calls_per_second(
            [&](const util::Epoch& e) { return nav::interpolate_position_by_full_scan(sp3, sat, e); }, targets,
            1000000, sink));
        fast.push_back(calls_per_second(
            [&](const util::Epoch& e) { return nav::interpolate_position(sp3, sat, e); }, targets, 3000000, sink));
    }
    const double b = median(base), s = median(scan), f = median(fast);
    std::printf("median of %d runs, one thread (checksum %.3f)\n", runs, sink);
    std::printf("  sort-per-call baseline   %10.0f calls/s   1.00x\n", b);
    std::printf("  full scan                %10.0f calls/s   %5.2fx\n", s, s / b);
    std::printf("  interpolate_position     %10.0f calls/s   %5.2fx  (%.0f ns/call; %.2fx the full scan)\n", f,
                f / b, 1e9 / f, f / s);
    return 0;
}
