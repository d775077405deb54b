"""Every observation file of the shared data folder: summaries against the
figures of its MANIFEST, and every stored value against the file's own text,
cut out here with plain string slicing."""
import gzip

import pytest
import skarvo_mp as sk

from rinex_helpers import digit, fields, number, parse_v3, stored_observations

pytestmark = pytest.mark.realdata

V2_CODES = {"C1": "C1C", "P1": "C1P", "L1": "L1C", "D1": "D1C", "S1": "S1C",
            "C2": "C2C", "P2": "C2P", "L2": "L2C", "D2": "D2C", "S2": "S2C",
            **{f"{kind}{band}": f"{kind}{band}X" for kind in "CLDS" for band in "5678"}}

# (file, version, marker, epoch records, satellites, first epoch, last epoch, interval)
# from the MANIFEST; version 3 files keep their event records (GEOP has one).
FILES = [
    ("rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz", "3.05", "ESBC00DNK", 2880, 113,
     (2020, 6, 25, 0, 0, 0.0), (2020, 6, 25, 23, 59, 30.0), 30.0),
    ("rinex3/CEDA00USA_R_20182100000_23H_15S_MO.rnx.gz", "3.03", "ceda", 4675, 19,
     (2018, 7, 29, 0, 0, 15.0), (2018, 7, 29, 23, 59, 45.0), 15.0),
    ("rinex3/ACOR00ESP_R_20213550000_01D_30S_MO.rnx", "3.04", "ACOR", 25, 38,
     (2021, 12, 21, 0, 0, 0.0), (2021, 12, 21, 0, 12, 0.0), 30.0),
    ("rinex3/pdel0010.21o", "3.02", "PDEL", 67, 20, (2021, 1, 1, 0, 0, 0.0), (2021, 1, 1, 0, 33, 0.0), 30.0),
    ("rinex3/GEOP092I.24o.gz", "3.03", "Geo++", 600, 36,
     (2024, 4, 1, 8, 31, 16.4427602), (2024, 4, 1, 8, 41, 14.4427629), 0.0),
    ("rinex4/ACRG00GHA_R_20240010000_01H_30S_MO.rnx", "4.00", "ACRG00GHA", 120, 1,
     (2024, 1, 1, 0, 0, 0.0), (2024, 1, 1, 0, 59, 30.0), 30.0),
    ("rinex2/07590920.05o", "2.10", "0759", 120, 11, (2005, 4, 2, 0, 0, 0.0), (2005, 4, 2, 0, 59, 30.005), 30.0),
    ("rinex2/AJAC3550.21O", "2.11", "AJAC", 2, 26, (2021, 12, 21, 0, 0, 0.0), (2021, 12, 21, 0, 0, 30.0), 30.0),
    ("rinex2/delf0010.21o", "2.11", "DELFT-16", 105, 24, (2021, 1, 1, 0, 0, 0.0), (2021, 1, 1, 0, 52, 0.0), 30.0),
    ("rinex2/npaz3550.21o", "2.11", "NPAZ", 129, 20, (2021, 12, 21, 0, 0, 0.0), (2021, 12, 21, 1, 4, 0.0), 30.0),
    ("rinex2/zegv0010.21o", "2.11", "ZEGV", 19, 24, (2021, 1, 1, 0, 0, 0.0), (2021, 1, 1, 0, 9, 0.0), 30.0),
    ("odd/14601736.18o", "2.11", "st", 3, 13, (2018, 6, 22, 6, 17, 30.0), (2018, 6, 22, 6, 18, 0.0), 15.0),
    ("odd/VLNS0010.22O", "3.02", "VLNS", 3, 18, (2022, 1, 1, 0, 0, 0.0), (2022, 1, 1, 0, 1, 0.0), 30.0),
    ("odd/flrs0010.12o", "3.02", "FLRS", 69, 21, (2021, 1, 1, 0, 0, 0.0), (2021, 1, 1, 0, 34, 0.0), 30.0),
    ("odd/pixel6.23o", "3.03", "Google GnssLogger", 48, 20,
     (2023, 11, 7, 23, 43, 15.0002755), (2023, 11, 7, 23, 52, 39.0001992), None),
    ("odd/z_tracking.rnx", "3.04", "TWTF", 2, 45, (2023, 9, 6, 0, 0, 0.0), (2023, 9, 6, 0, 0, 30.0), 30.0),
    ("odd/rinex2onesat.10o", "2.11", "MRKR", 2, 1, (2010, 3, 5, 0, 0, 0.0), (2010, 3, 5, 0, 0, 30.0), 30.0),
]
IDS = [f[0].split("/")[1].split("_")[0] for f in FILES]


def test_esbc_codes_and_systems(data):
    d = sk.read_rinex_obs(str(data("rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz")))
    assert d.observation_types("C") == "C2I C6I C7I D2I D6I D7I L2I L6I L7I S2I S6I S7I".split()
    assert d.observation_types("G") == sorted("C1C C1W C2L C2W C5Q D1C D2L D2W D5Q L1C L2L L2W L5Q S1C S1W S2L "
                                              "S2W S5Q".split())
    assert set(d.satellites_by_system()) == set("CEGJRS")
    assert len(d.glonass_fcn()) > 20


# ---- the file's own text, cut by columns ----------------------------------------


def text_of(path):
    raw = path.read_bytes()
    if path.name.endswith(".gz"):
        raw = gzip.decompress(raw)
    return raw.decode().replace("\r", "").split("\n")


def expected_v2(lines):
    types, i = [], 0
    while "END OF HEADER" not in lines[i]:
        line = lines[i]
        if line[60:].strip() == "# / TYPES OF OBSERV":
            types.extend(line[6:60].split())
        i += 1
    per_sat = (len(types) + 4) // 5
    obs, epoch = {}, -1
    i += 1
    while i < len(lines):
        line = lines[i]
        if len(line) < 29 or line[18] != "." or line[2] == " " or line[26:29].strip() in "2345" and \
                line[26:29].strip():
            # Not an epoch line, or an event record (flags 2-5) whose lines follow.
            if len(line) >= 29 and line[18] == "." and line[2] != " ":
                i += 1 + int(line[29:32])
            else:
                i += 1
            continue
        epoch += 1
        n = int(line[29:32])
        list_lines = 1 if n <= 12 else (n + 11) // 12
        sats = "".join(lines[i + j][32:68] for j in range(list_lines))
        first = i + list_lines
        for s in range(n):
            sat = sats[3 * s:3 * s + 3].replace(" ", "0")
            sat = "G" + sat[1:] if sat[0] == "0" else sat
            for k, t in enumerate(types):
                line_k = lines[first + s * per_sat + k // 5]
                f = line_k[16 * (k % 5):16 * (k % 5) + 16]
                v = number(f[:14])
                if v is not None and len(f) >= 14 and t in V2_CODES:
                    obs[(epoch, sat, V2_CODES[t])] = (v, digit(f, 14), digit(f, 15))
        i = first + n * per_sat
    return obs


@pytest.mark.parametrize("rel, version, marker, n_epochs, n_sats, first, last, interval", FILES, ids=IDS)
def test_summary_and_every_value(data, rel, version, marker, n_epochs, n_sats, first, last, interval):
    path = data(rel)
    d = sk.read_rinex_obs(str(path))
    assert (d.version, d.marker_name, d.num_epochs, d.num_satellites) == (version, marker, n_epochs, n_sats)
    assert fields(d.first_epoch()) == first and fields(d.last_epoch()) == last
    if interval is not None:
        assert d.interval == interval
    assert sum(d.satellites_by_system().values()) == n_sats == len(d.satellites())
    lines = text_of(path)
    expected = expected_v2(lines) if version.startswith("2") else parse_v3(lines)[3]
    # A value of exactly zero is no observation.
    expected = {k: v for k, v in expected.items() if v[0] != 0.0}
    assert len(expected) > 0
    assert stored_observations(path) == expected
