// The one question elevation work asks an orbit: where is this satellite at
// this epoch? Precise (SP3) and broadcast orbits both answer it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "navigation/coordinates.hpp"
#include "utils/identifiers.hpp"
#include "utils/time.hpp"

namespace skarvo::nav {

struct Sp3Data;
struct NavData;

/// A read-only source of satellite positions: ECEF metres at an epoch given
/// on the time scale of the observation epochs (GPS time). Implementations
/// are safe to call from several threads at once.
class OrbitSource {
public:
    virtual ~OrbitSource() = default;
    /// Position of `sat` at `epoch`, or absent when the orbit cannot place it.
    virtual std::optional<Ecef> position(const util::Satellite& sat, const util::Epoch& epoch) const noexcept = 0;
};

/// Positions interpolated from an SP3 table.
class Sp3Orbit final : public OrbitSource {
public:
    explicit Sp3Orbit(const Sp3Data& sp3) noexcept : sp3_(sp3) {}
    std::optional<Ecef> position(const util::Satellite& sat, const util::Epoch& epoch) const noexcept override;

private:
    const Sp3Data& sp3_;
};

/// Positions propagated from broadcast ephemerides. Propagation costs more
/// than interpolation, and the estimates of one epoch ask for the same
/// satellite once per signal: each instance remembers the positions it gave.
/// An instance therefore serves one thread; the NavData may be shared.
class BroadcastOrbit final : public OrbitSource {
public:
    explicit BroadcastOrbit(const NavData& nav) noexcept : nav_(nav) {}
    std::optional<Ecef> position(const util::Satellite& sat, const util::Epoch& epoch) const noexcept override;

private:
    // A direct-mapped table: one slot per hash, a newer position replaces an
    // older one. Large enough for the distinct satellite-epochs of a day.
    struct Slot {
        std::uint64_t sat = 0;  // 0: empty (no satellite has sort key 0)
        double t = 0.0;
        bool has_position = false;
        Ecef position;
    };
    static constexpr std::size_t memo_bits = 17;
    const NavData& nav_;
    mutable std::vector<Slot> memo_;
};

}  // namespace skarvo::nav
