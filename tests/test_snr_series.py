"""SNR series of RinexObsData: snr_codes, get_snr_series and SnrSeries."""
from datetime import datetime

import pytest

import skarvo_mp as sk
from rinex_helpers import START, rinex3, snr_wave


TYPES = {"G": ["C1C", "S1C", "S1W", "S2L", "S2W", "S5Q"], "R": ["C1C", "S1C"]}


@pytest.fixture(scope="module")
def obs():
    epochs = []
    for i in range(10):
        sats = {
            "G05": {"C1C": 2.1e7, "S1C": snr_wave(i), "S1W": 40.0, "S2L": 38.0, "S2W": 37.0, "S5Q": 47.5},
            "R07": {"C1C": 2.2e7, "S1C": 0.0},
        }
        if i in (3, 4):
            del sats["G05"]  # the satellite is missing
        elif i == 6:
            sats["G05"]["S1C"] = None  # the code is missing
        elif i == 7:
            sats["G05"]["S1C"] = -1.0  # not positive
        epochs.append((30.0 * i, sats))
    return sk.read_rinex_obs_bytes(rinex3(epochs, TYPES).encode(), "snr.rnx")


def test_codes_in_byte_order_and_satellites_without_series(obs):
    assert obs.snr_codes("G05") == [s.code for s in obs.get_snr_series("G05")] == ["S1C", "S1W", "S2L", "S2W", "S5Q"]
    # A value of zero is no observation: neither code nor series.
    assert (obs.snr_codes("R07"), obs.get_snr_series("R07")) == ([], [])
    for satellite in ("G30", "E01", "R01"):
        assert obs.snr_codes(satellite) == [] and obs.get_snr_series(satellite) == []


def test_gaps_are_absent(obs):
    (s1c,) = obs.get_snr_series("G05", "S1C")
    t0 = 1593043200.0
    assert s1c.times == [t0 + 30.0 * i for i in (0, 1, 2, 5, 8, 9)]
    assert s1c.values == pytest.approx([snr_wave(i) for i in (0, 1, 2, 5, 8, 9)], abs=5e-4)
    assert len(obs.get_snr_series("G05", "S1W")[0].values) == 8


def test_series_object(obs):
    (s,) = obs.get_snr_series("g05", "s1c")
    assert (s.satellite, s.system, s.code) == ("g05", "G", "S1C")
    assert repr(s) == "SnrSeries(satellite='g05', code='S1C', points=6)"
    assert s.epochs_iso()[:2] == ["2020-06-25T00:00:00.000Z", "2020-06-25T00:00:30.000Z"]
    assert s.times is not s.times and s.times == s.times


@pytest.mark.parametrize("satellite, code, message", [
    ("X99", None, "Invalid satellite id 'X99'"), ("", None, "Invalid satellite id ''"),
    ("G05", "C1C", "'C1C' is not an S-code"), ("G05", "S1CX", "'S1CX' is not an S-code"),
])
def test_bad_arguments(obs, satellite, code, message):
    with pytest.raises(ValueError) as err:
        obs.get_snr_series(satellite, code)
    assert str(err.value) == message
    if code is None:
        with pytest.raises(ValueError) as err:
            obs.snr_codes(satellite)
        assert str(err.value) == message


def test_iso_epochs_truncate_to_milliseconds():
    offset = (datetime(2015, 1, 1, 0, 0, 15, 250900) - START).total_seconds()
    text = rinex3([(offset, {"R07": {"C1C": 2e7, "S1C": 44.0}})], TYPES)
    (s,) = sk.read_rinex_obs_bytes(text.encode(), "one.rnx").get_snr_series("R07")
    assert s.times == [1420070415.2509]
    assert s.epochs_iso() == ["2015-01-01T00:00:15.250Z"]
