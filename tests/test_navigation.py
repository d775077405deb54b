"""Broadcast navigation files: reading every real file, positions against
precise orbits of the same day, elevations from either orbit source, the
layouts of versions 2, 3 and 4 giving the same orbit, and damaged files."""
import gzip
import math

import numpy as np
import pytest

import skarvo_mp as sm

ESBC_OBS = "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"
ESBC_NAV = "nav/ESBC00DNK_R_20201770000_01D_MN.rnx.gz"
BRDC = "nav/brdc0010.21n"


def nav(data, name):
    return sm.read_rinex_nav(str(data(name)))


def is_beidou_geo(sat):
    return sat[0] == "C" and (int(sat[1:]) <= 5 or int(sat[1:]) >= 59)


@pytest.mark.realdata
@pytest.mark.parametrize("name, version, systems", [
    ("nav/AMEL00NLD_R_20210010000_01D_MN.rnx", 3.04, "CER"),
    ("nav/BRD400DLR_S_20230710000_01D_MN.rnx.gz", 4.0, "CEGIJRS"),
    ("nav/BRDC00GOP_R_20210010000_01D_MN.rnx.gz", 3.04, "CERS"),
    ("nav/CBW100NLD_R_20210010000_01D_MN.rnx", 3.04, "CEG"),
    ("nav/CEDA00USA_R_20182100000_01D_MN.rnx.gz", 3.03, "E"),
    ("nav/ELKO00USA_R_20182100000_01D_MN.rnx.gz", 3.03, "CEGR"),
    (ESBC_NAV, 3.05, "CEGJRS"),
    ("nav/KMS300DNK_R_20221591000_01H_MN.rnx.gz", 4.0, "CEGJRS"),
    ("nav/NYA100NOR_S_20241240000_01D_CN.rnx.gz", 3.05, "C"),
    ("nav/NYA100NOR_S_20241240000_01D_EN.rnx.gz", 3.03, "E"),
    ("nav/NYA100NOR_S_20241240000_01D_GN.rnx.gz", 3.05, "G"),
    ("nav/amel0010.21g", 2.11, "R"),
    ("nav/auto0010.19n", 2.0, "G"),
    (BRDC, 2.0, "G"),
    ("nav/cbw10010.21n.gz", 2.11, "G"),
    ("nav/dlf10010.21g", 2.11, "R"),
    ("nav/rob40020.13n", 2.1, "G"),
])
def test_every_real_file_reads(data, name, version, systems):
    n = nav(data, name)
    assert n.version == version
    sats = n.satellites()
    assert sats == sorted(sats, key=lambda s: (s[0], int(s[1:]))) and len(set(sats)) == len(sats)
    assert "".join(sorted({s[0] for s in sats})) == systems
    assert n.num_satellites == len(sats) and n.num_records >= len(sats)
    assert repr(n) == f"NavData(version={version:g}, satellites={len(sats)}, records={n.num_records})"


# Thresholds of broadcast against precise positions (m): median, 99th percentile.
LIMITS = {"G": (1.5, 5.0), "E": (1.5, 5.0), "J": (3.0, 5.0), "C": (10.0, 10.0), "R": (10.0, 10.0),
          "C-GEO": (30.0, 30.0)}


def orbit_differences(n, sp3, day):
    """Broadcast minus precise distances every 5 minutes, by system. The SP3
    refers to the centre of mass, the broadcast orbit to the antenna phase
    centre, offset along the radial direction by a constant of each
    satellite: that mean radial offset is removed per satellite."""
    out = {}
    for sat in set(sp3.satellites()) & set(n.satellites()):
        pairs = []
        for k in range(288):
            epoch = sm.Epoch(*day, k // 12, k % 12 * 5, 0.0)
            p, q = sp3.get_position(sat, epoch), n.get_position(sat, epoch)
            if p is not None and q is not None:
                pairs.append(((p.x, p.y, p.z), (q.x, q.y, q.z)))
        if not pairs:
            continue
        p, q = np.array(pairs).transpose(1, 0, 2)
        radial = p / np.linalg.norm(p, axis=1)[:, None]
        d = q - p
        d -= np.mean(np.sum(d * radial, axis=1)) * radial
        out.setdefault(sat[0] + ("-GEO" if is_beidou_geo(sat) else ""), []).extend(np.linalg.norm(d, axis=1))
    return out


@pytest.mark.realdata
@pytest.mark.parametrize("nav_name, sp3_name, day", [
    (ESBC_NAV, "sp3/Sta21114.sp3.gz", (2020, 6, 25)),
    (ESBC_NAV, "sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz", (2020, 6, 25)),
    (BRDC, "sp3/igs21385.sp3", (2021, 1, 1)),
    ("nav/cbw10010.21n.gz", "sp3/igs21385.sp3", (2021, 1, 1)),
    ("nav/auto0010.19n", "sp3/igs20342.sp3", (2019, 1, 1)),
    ("nav/CBW100NLD_R_20210010000_01D_MN.rnx", "sp3/igs21385.sp3", (2021, 1, 1)),
])
def test_positions_agree_with_precise_orbits(data, gunzipped, nav_name, sp3_name, day):
    n = nav(data, nav_name)
    sp3 = sm.read_sp3(str(gunzipped(sp3_name) if sp3_name.endswith(".gz") else data(sp3_name)))
    errors = orbit_differences(n, sp3, day)
    assert "G" in errors
    for key, values in errors.items():
        median, p99 = np.median(values), np.percentile(values, 99)
        assert median < LIMITS[key][0] and p99 < LIMITS[key][1], (key, len(values), median, p99)


@pytest.mark.realdata
def test_elevations_from_broadcast_match_precise_on_the_esbc_day(data, gunzipped):
    obs = sm.read_rinex_obs(str(data(ESBC_OBS)))
    receiver = obs.approx_position
    precise = sm.MultipathAnalyzer(obs).analyze()
    broadcast = sm.MultipathAnalyzer(obs).analyze()
    assert precise.compute_elevations(sm.read_sp3(str(gunzipped("sp3/Sta21114.sp3.gz"))), receiver) == (376961, 0)
    assert broadcast.compute_elevations(nav(data, ESBC_NAV), receiver) == (376961, 0)
    a = np.array([(e.elevation, e.azimuth) for e in precise.estimates])
    b = np.array([(e.elevation, e.azimuth) for e in broadcast.estimates])
    assert np.abs(a[:, 0] - b[:, 0]).max() < 0.01
    assert np.abs((a[:, 1] - b[:, 1] + 180.0) % 360.0 - 180.0).max() < 0.01
    for s, t in zip(precise.statistics, broadcast.statistics):
        assert s.signal == t.signal
        assert abs(t.weighted_rms - s.weighted_rms) <= 1e-3 * s.weighted_rms, s.signal


@pytest.mark.realdata
def test_compute_elevation_takes_either_orbit_and_refuses_others(data):
    n = nav(data, BRDC)
    receiver = sm.Ecef(3924687.7020, 301132.7660, 5001910.7750)
    sp3 = sm.read_sp3(str(data("sp3/igs21385.sp3")))
    epoch = sm.Epoch(2021, 1, 1, 12, 0, 0.0)
    assert abs(sm.compute_elevation(sp3, receiver, "G01", epoch) - sm.compute_elevation(n, receiver, "G01", epoch)) < 0.01
    with pytest.raises(TypeError, match="sp3 must be an Sp3Data or a NavData, not str"):
        sm.compute_elevation("G01", receiver, "G01", epoch)
    assert n.get_position("X99", epoch) is None and n.get_position("G01", sm.Epoch(2021, 3, 1)) is None


# -- one ephemeris written in each layout -------------------------------------------------

# G01 of brdc0010.21n, 2021-01-01 00:00 (toe 432000 s of GPS week 2138).
V2_RECORD = """\
 1 21  1  1  0  0  0.0 0.787519849837D-03-0.591171556152D-11 0.000000000000D+00
    0.510000000000D+02-0.757500000000D+02 0.420731810883D-08-0.102127796707D+01
   -0.393576920033D-05 0.102238134714D-01 0.142864882946D-05 0.515369224930D+04
    0.432000000000D+06 0.221654772759D-06-0.808675126942D+00 0.230967998505D-06
    0.976443787003D+00 0.391656250000D+03 0.692695651388D+00-0.824355475886D-08
   -0.217151902046D-09 0.100000000000D+01 0.213800000000D+04 0.000000000000D+00
    0.200000000000D+01 0.000000000000D+00 0.465661287308D-08 0.510000000000D+02
    0.424818000000D+06 0.400000000000D+01
"""
V2_HEADER = ("     2.11           N: GPS NAV DATA                         RINEX VERSION / TYPE\n"
             "                                                            END OF HEADER\n")
V3_HEADER = ("     3.04           N: GNSS NAV DATA    M: MIXED            RINEX VERSION / TYPE\n"
             "                                                            END OF HEADER\n")
V4_HEADER = ("     4.00           NAVIGATION DATA     M                   RINEX VERSION / TYPE\n"
             "                                                            END OF HEADER\n")


def as_v3(record):
    """The version 2 record in the version 3 layout (e exponents, 4-blank indent)."""
    lines = record.replace("D", "e").splitlines()
    first = "G01 2021 01 01 00 00 00" + lines[0][22:]
    return "\n".join([first] + [" " + s for s in lines[1:]]) + "\n"


def write(tmp_path, name, text, newline="\n"):
    path = tmp_path / name
    path.write_bytes(text.replace("\n", newline).encode())
    return str(path)


def test_the_same_ephemeris_in_every_layout_gives_the_same_orbit(tmp_path):
    v3 = as_v3(V2_RECORD)
    files = {
        "v2": V2_HEADER + V2_RECORD,
        "v2-crlf-blank-lines": V2_HEADER + "\n" + V2_RECORD + "\n",
        "v3": V3_HEADER + v3,
        "v3-no-last-line": V3_HEADER + "".join(v3.splitlines(True)[:7]),
        "v4": V4_HEADER + "> STO G01 LNAV\n    2021 01 01 00 00 00 GPUT\n     0.0\n"
              "> EPH G01 LNAV\n" + v3 + "> ION G01 LNAV\n    2021 01 01 00 00 00 1.0e-08\n",
    }
    epoch = sm.Epoch(2021, 1, 1, 1, 30, 0.0)
    positions = {}
    for name, text in files.items():
        n = sm.read_rinex_nav(write(tmp_path, name + ".rnx", text, "\r\n" if "crlf" in name else "\n"))
        assert n.satellites() == ["G01"] and n.num_records == 1, name
        p = n.get_position("G01", epoch)
        positions[name] = (p.x, p.y, p.z)
    assert len(set(positions.values())) == 1
    assert 2.5e7 < math.dist(positions["v2"], (0, 0, 0)) < 2.75e7
    # The record serves two hours either side of toe (a 4-hour fit interval).
    n = sm.read_rinex_nav(write(tmp_path, "again.rnx", files["v2"]))
    assert n.get_position("G01", sm.Epoch(2021, 1, 1, 2, 0, 0.0)) is not None
    assert n.get_position("G01", sm.Epoch(2021, 1, 1, 2, 0, 1.0)) is None


@pytest.mark.realdata
def test_glonass_state_vector_and_fifteen_minute_limit(data):
    n = nav(data, "nav/dlf10010.21g")
    # R03, 2020-12-31 23:45 UTC: 23:45:18 GPS time; the state vector itself.
    toe = sm.Epoch(2020, 12, 31, 23, 45, 18.0)
    p = n.get_position("R03", toe)
    assert (p.x, p.y, p.z) == pytest.approx((19971114.25781, 12189202.63672, -10191997.07031), abs=1e-6)
    later = n.get_position("R03", sm.Epoch(2021, 1, 1, 0, 0, 18.0))
    # Fifteen minutes at about 3.8 km/s, on a curve.
    assert 3.0e6 < p.distance(later) < 3.5e6
    assert n.get_position("R03", sm.Epoch(2021, 1, 1, 0, 0, 19.0)) is None


# -- damaged files ------------------------------------------------------------------------

@pytest.mark.parametrize("name, content, message", [
    ("empty.rnx", b"", "the file is empty"),
    ("blank.rnx", b"\n\n   \n", "the file is empty"),
    ("obs.rnx", b"     3.04           OBSERVATION DATA    M                   RINEX VERSION / TYPE\n",
     "line 1: an observation file, not a navigation file"),
    ("text.rnx", b"hello\n", "line 1: not a RINEX file"),
    ("v5.rnx", b"     5.00           N                                       RINEX VERSION / TYPE\n",
     "Unsupported RINEX version: 5"),
    ("noend.rnx", V2_HEADER.encode().splitlines(True)[0], "the header has no END OF HEADER line"),
    ("truncated.rnx", (V2_HEADER + "".join(V2_RECORD.splitlines(True)[:5])).encode(),
     "line 7: record of G01 ends after 5 of 7 lines"),
    ("flipped.rnx", (V2_HEADER + V2_RECORD.replace("0.515369224930D+04", "0.515369\x24\x32\x34930D+04")).encode(),
     "line 5: unreadable number '0.515369$24930D+04' in column 61"),
    ("flipped-indent.rnx", (V2_HEADER + V2_RECORD.replace("\n    0.976", "\n  ! 0.976")).encode(),
     "line 7: unexpected text before the first number"),
    ("binary.rnx", (V2_HEADER + V2_RECORD.replace("0.510000000000D+02", "0.51000\xff\xfe0000D+02")).encode("latin-1"),
     "stream did not contain valid UTF-8"),
    ("bad-sat.rnx", (V3_HEADER + "X01" + as_v3(V2_RECORD)[3:]).encode(), "line 3: invalid satellite 'X01'"),
    ("v4-unknown.rnx", (V4_HEADER + "> XYZ G01 LNAV\n").encode(), "line 3: unknown record type 'XYZ'"),
    ("v4-orphan.rnx", (V4_HEADER + as_v3(V2_RECORD)).encode(), "line 3: data line outside any record"),
])
def test_damaged_files_raise_oserror_naming_the_line(tmp_path, name, content, message):
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(OSError, match="Failed to read navigation file") as info:
        sm.read_rinex_nav(str(path))
    assert message in str(info.value)


def test_damaged_gzip_and_missing_file(tmp_path):
    blob = gzip.compress((V2_HEADER + V2_RECORD).encode())
    (tmp_path / "cut.rnx.gz").write_bytes(blob[:-12])
    flipped = bytearray(blob)
    flipped[len(blob) // 2] ^= 0x10
    (tmp_path / "flip.rnx.gz").write_bytes(bytes(flipped))
    for name in ("cut.rnx.gz", "flip.rnx.gz", "absent.rnx"):
        with pytest.raises(OSError, match="Failed to read navigation file"):
            sm.read_rinex_nav(str(tmp_path / name))
