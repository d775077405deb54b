"""A simulated GNSS station with a known truth.

`simulate_station` builds one deterministic station-day (or a shorter span)
from a seed: GPS-, Galileo- and GLONASS-like satellites on circular orbits
seen from a fixed receiver on a rotating Earth, with code, phase and SNR on
two or three frequencies. Every error that enters the observations is kept,
so that analyses of the written files can be checked against it:

- code = range + receiver clock - satellite clock + troposphere + ionosphere
  + multipath + white noise (metres);
- phase = (range + clocks + troposphere - ionosphere) / wavelength
  + integer ambiguity + injected cycle slips + white noise (cycles);
- SNR = elevation-dependent direct power times the interference of a
  horizontal reflector at a known depth below the antenna (dB-Hz); the depth
  is constant, or varies as a tide-like sine or with a step (snowfall), see
  `SimulationConfig.reflector_model` and `Simulation.reflector_height_at`.

The code multipath of each satellite and signal is a first-order
autoregressive series with a correlation time much shorter than the 1500-s
bias window of the multipath analysis, scaled by an RMS that is fixed per
signal and grows towards the horizon. Satellites are observed only above 0°
elevation; each pass starts with new ambiguities.

`Simulation.write_rinex` writes RINEX 3.04 observation data (gzip when the
name ends in .gz, byte-for-byte reproducible); `Simulation.write_sp3` writes
an SP3-c orbit file covering the same span with a margin.

The package by idea: `physics` (orbits, geometry, delays, the signal
helpers), `model` (the signals, settings, slips and per-satellite tracks),
`station` (the `Simulation`: building the tracks, injecting slips, the
queries), `truth` (what the written files must show) and `writers` (RINEX
and SP3 text and files). Building and writing need only NumPy; the truth
asks `skarvo_mp` which band pairs with which.
"""
from __future__ import annotations

import dataclasses
from typing import Optional

from .model import SIGNALS, InjectedSlip, SignalModel, SimulationConfig
from .physics import (EARTH_ROTATION, GM_EARTH, IONO_K, IONO_SHELL_M, MEAN_EARTH_RADIUS, SPEED_OF_LIGHT, WGS84_A,
                      WGS84_E2, azimuth_elevation, carrier_frequency, elevation_growth, geodetic_to_ecef,
                      iono_mapping, orbit_elements, orbit_position, troposphere_m, true_runs)
from .station import Simulation

__all__ = ["EARTH_ROTATION", "GM_EARTH", "IONO_K", "IONO_SHELL_M", "MEAN_EARTH_RADIUS", "SIGNALS", "SPEED_OF_LIGHT",
           "WGS84_A", "WGS84_E2", "InjectedSlip", "SignalModel", "Simulation", "SimulationConfig",
           "azimuth_elevation", "carrier_frequency", "elevation_growth", "geodetic_to_ecef", "iono_mapping",
           "orbit_elements", "orbit_position", "simulate_station", "troposphere_m", "true_runs"]


def simulate_station(config: Optional[SimulationConfig] = None, **overrides) -> Simulation:
    """Simulates a station from a config and/or keyword overrides of its fields.

    >>> sim = simulate_station(seed=7, duration_s=3 * 3600, gps=8, galileo=0, glonass=0)
    >>> sim.write_rinex("sim.rnx.gz"); sim.write_sp3("sim.SP3")
    """
    config = dataclasses.replace(config or SimulationConfig(), **overrides)
    return Simulation(config)
