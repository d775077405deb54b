// Throughput of the observation reader against bare baselines measured in
// the same run:
//   plain text: read_obs_file vs reading the bytes and counting the lines;
//   gzip:       read_obs_file vs zlib alone inflating the same file;
// plus the storage taken per stored observation.
// Usage: bench_rinex_read FILE.rnx.gz [runs]   (the plain copy is written next
// to the system's temporary files and removed at the end).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "rinex/obs_reader.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double median_ms(int runs, const std::function<void()>& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto a = clock_type::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

std::size_t count_lines(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    std::vector<char> buf(256 * 1024);
    std::size_t lines = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        const char* p = buf.data();
        const char* end = p + n;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
            ++lines;
            ++p;
        }
    }
    ::close(fd);
    return lines;
}

// Inflates a gzip file into a reused buffer; returns the decompressed size.
std::size_t inflate_only(const char* path, std::string* keep = nullptr) {
    const int fd = ::open(path, O_RDONLY);
    std::vector<unsigned char> in(128 * 1024), out(256 * 1024);
    z_stream zs{};
    inflateInit2(&zs, 16 + MAX_WBITS);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, in.data(), in.size());
        if (n <= 0) break;
        zs.next_in = in.data();
        zs.avail_in = static_cast<uInt>(n);
        while (zs.avail_in > 0) {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            const int rc = inflate(&zs, Z_NO_FLUSH);
            const std::size_t got = out.size() - zs.avail_out;
            total += got;
            if (keep) keep->append(reinterpret_cast<char*>(out.data()), got);
            if (rc == Z_STREAM_END) inflateReset(&zs);
            else if (rc != Z_OK) break;
        }
    }
    inflateEnd(&zs);
    ::close(fd);
    return total;
}

long rss_kb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
    if (f) std::fclose(f);
    return kb;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_rinex_read FILE.rnx.gz [runs]\n");
        return 1;
    }
    const char* gz = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 9;

    std::string text;
    inflate_only(gz, &text);
    const char* tmp = std::getenv("TMPDIR");
    const std::string plain = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_rinex_plain.rnx";
    {
        FILE* f = std::fopen(plain.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    const double mb = static_cast<double>(text.size()) / 1e6;
    text.clear();
    text.shrink_to_fit();

    const long rss0 = rss_kb();
    std::size_t n_obs = 0, n_sat = 0, n_epochs = 0, cap_bytes = 0;
    {
        auto r = skarvo::rinex::read_obs_file(plain);
        if (!r) {
            std::fprintf(stderr, "%s\n", r.error().message().c_str());
            return 2;
        }
        const long rss1 = rss_kb();
        n_obs = r->obs.size();
        n_sat = r->sat_obs.size();
        n_epochs = r->epochs.size();
        const std::size_t used = n_obs * sizeof(skarvo::rinex::ObsEntry) + n_sat * sizeof(skarvo::rinex::SatObs) +
                                 n_epochs * sizeof(skarvo::rinex::EpochRecord);
        cap_bytes = r->obs.capacity() * sizeof(skarvo::rinex::ObsEntry) +
                    r->sat_obs.capacity() * sizeof(skarvo::rinex::SatObs) +
                    r->epochs.capacity() * sizeof(skarvo::rinex::EpochRecord);
        std::printf("file: %.1f MB of text, %zu epochs, %zu satellite entries, %zu observations\n", mb, n_epochs,
                    n_sat, n_obs);
        std::printf("storage: %.2f bytes per observation in use (%.2f reserved address space), RSS growth %.2f "
                    "bytes per observation\n",
                    static_cast<double>(used) / static_cast<double>(n_obs),
                    static_cast<double>(cap_bytes) / static_cast<double>(n_obs),
                    static_cast<double>(rss1 - rss0) * 1024.0 / static_cast<double>(n_obs));
    }

    // Interleave baseline and subject so that load from other processes hits both alike.
    std::vector<double> base_plain, read_plain, base_gz, read_gz;
    for (int i = 0; i < runs; ++i) {
        base_plain.push_back(median_ms(1, [&] { count_lines(plain.c_str()); }));
        read_plain.push_back(median_ms(1, [&] { (void)skarvo::rinex::read_obs_file(plain); }));
        base_gz.push_back(median_ms(1, [&] { inflate_only(gz); }));
        read_gz.push_back(median_ms(1, [&] { (void)skarvo::rinex::read_obs_file(gz); }));
    }
    const auto med = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double bp = med(base_plain), rp = med(read_plain), bg = med(base_gz), rg = med(read_gz);
    std::printf("plain: read_obs_file %.1f ms (%.0f MB/s); baseline read+count lines %.1f ms (%.0f MB/s); "
                "ratio %.2f\n",
                rp, mb / rp * 1e3, bp, mb / bp * 1e3, rp / bp);
    std::printf("gzip:  read_obs_file %.1f ms; baseline zlib inflate alone %.1f ms (%.0f MB/s of text); "
                "ratio %.2f (target <= 1.5)\n",
                rg, bg, mb / bg * 1e3, rg / bg);
    ::unlink(plain.c_str());
    return 0;
}
