// Prints everything the observation reader stored for a file, in a plain
// line format that the Python tests compare with the file text:
//   E <epoch index> <year> <month> <day> <hour> <minute> <second> <flag> <clock or ->
//   O <satellite> <code> <value> <lli or -> <ssi or ->
// Values are written with 17 significant digits, so they read back exactly.
// On failure prints "ERROR <message>" and exits with status 2.
#include <cstdio>

#include "rinex/obs_reader.hpp"

int main(int argc, char** argv) {
    using namespace skarvo::rinex;
    if (argc != 2) {
        std::fprintf(stderr, "usage: rinex_dump FILE\n");
        return 1;
    }
    auto result = read_obs_file(argv[1]);
    if (!result) {
        std::printf("ERROR %s\n", result.error().message().c_str());
        return 2;
    }
    const RinexObsData& d = *result;
    for (std::size_t i = 0; i < d.epochs.size(); ++i) {
        const EpochRecord& e = d.epochs[i];
        std::printf("E %zu %d %u %u %u %u %.17g %u ", i, e.epoch.year, e.epoch.month, e.epoch.day, e.epoch.hour,
                    e.epoch.minute, e.epoch.second, static_cast<unsigned>(e.flag));
        if (e.clock_offset) std::printf("%.17g\n", *e.clock_offset);
        else std::printf("-\n");
        for (const SatObs& s : d.satellites_at(e)) {
            const std::string id = s.sat.id();
            for (const ObsEntry& o : d.observations(s)) {
                std::printf("O %s %s %.17g ", id.c_str(), o.code.text().c_str(), o.value);
                if (o.lli == ObsEntry::no_digit) std::printf("- ");
                else std::printf("%u ", static_cast<unsigned>(o.lli));
                if (o.ssi == ObsEntry::no_digit) std::printf("-\n");
                else std::printf("%u\n", static_cast<unsigned>(o.ssi));
            }
            if (s.begin == s.end) std::printf("O %s - - - -\n", id.c_str());
        }
    }
    return 0;
}
