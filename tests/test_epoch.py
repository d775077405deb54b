"""Epochs: construction, parsing, ISO text, GPS time, Julian date, day of year,
and the deterministic conversion of out-of-range fields."""
import datetime as dt
import math
import random

import pytest

from skarvo_mp import Epoch

UTC = dt.timezone.utc
GPS_ORIGIN = dt.datetime(1980, 1, 6, tzinfo=UTC)


def fields(e):
    return (e.year, e.month, e.day, e.hour, e.minute, e.second)


def iso_of(d: dt.datetime) -> str:
    return (f"{d.year:04d}-{d.month:02d}-{d.day:02d}T{d.hour:02d}:{d.minute:02d}:{d.second:02d}"
            f".{d.microsecond // 1000:03d}Z")


def test_defaults_keywords_str_repr():
    e = Epoch(2024, 3, 1)
    assert fields(e) == (2024, 3, 1, 0, 0, 0.0)
    assert str(e) == e.to_iso() == e.to_iso_string() == "2024-03-01T00:00:00.000Z"
    assert repr(e) == "Epoch(2024-03-01T00:00:00.000Z)"
    e = Epoch(year=2024, month=3, day=1, hour=6, minute=30, second=15)
    assert fields(e) == (2024, 3, 1, 6, 30, 15.0) and type(e.second) is float
    # Fields are stored without validation.
    assert fields(Epoch(-(2**31), 13, 45, 99, 99, 75.5)) == (-(2**31), 13, 45, 99, 99, 75.5)


@pytest.mark.parametrize("text, expected", [
    ("24 3 1 6 30 15.25", (2024, 3, 1, 6, 30, 15.25)), ("2024 03 01 06 30 15.2500000", (2024, 3, 1, 6, 30, 15.25)),
    ("85 1 1 0 0 0", (1985, 1, 1, 0, 0, 0.0)), ("80 1 1 0 0 0", (1980, 1, 1, 0, 0, 0.0)),
    ("79 1 1 0 0 0", (2079, 1, 1, 0, 0, 0.0)), ("1999 12 31 23 59 59", (1999, 12, 31, 23, 59, 59.0)),
    ("-5 1 1 0 0 0", (1995, 1, 1, 0, 0, 0.0)), ("+2024 +3 1 6 30 +1e1", (2024, 3, 1, 6, 30, 10.0)),
    ("\t2024  3\t1 6 30 15 extra pieces", (2024, 3, 1, 6, 30, 15.0)), ("2024 3 1 6 30 .5", (2024, 3, 1, 6, 30, 0.5)),
    ("  2024-03-01T06:30:15.250Z  ", (2024, 3, 1, 6, 30, 15.25)),
    ("2024-03-01 06:30:15.25+00:00", (2024, 3, 1, 6, 30, 15.25)),
    ("2024-03-01T06:30:15+00", (2024, 3, 1, 6, 30, 15.0)), ("2024-03-01T06:30:15ZZ", (2024, 3, 1, 6, 30, 15.0)),
    ("2024-03-01T06:30:15:99", (2024, 3, 1, 6, 30, 15.0)), ("2024-13-45T99:99:99", (2024, 13, 45, 99, 99, 99.0)),
    ("24-3-1T6:30:0", (24, 3, 1, 6, 30, 0.0)),
])
def test_parse(text, expected):
    assert fields(Epoch.parse(text)) == expected


@pytest.mark.parametrize("text, message", [
    ("2024 3 1 6 30", "Invalid epoch format: Insufficient components in epoch string: '2024 3 1 6 30'"),
    ("", "Invalid epoch format: Insufficient components in epoch string: ''"),
    ("2024 x 1 6 30 0", "Integer parse error: invalid digit found in string"),
    ("2024 -1 1 6 30 0", "Integer parse error: invalid digit found in string"),
    ("2024 1 1 6 4294967296 0", "Integer parse error: number too large to fit in target type"),
    ("-2147483649 1 1 6 30 0", "Integer parse error: number too small to fit in target type"),
    ("2024 1 1 6 30 1.2.3", "Float parse error: invalid float literal"),
    ("2024 1 1 6 30 nan(1)", "Float parse error: invalid float literal"),
    ("2024-03-01T06:30", "Invalid epoch format: Invalid time format: '06:30'"),
    ("2024-3-x 06:30:00", "Invalid epoch format: Invalid day: 'x'"),
    ("2024-03-01_06:30:00", "Invalid epoch format: Cannot parse epoch: '2024-03-01_06:30:00'"),
    ("2024-03-01T06:30:00T1", "Invalid epoch format: Invalid ISO epoch: '2024-03-01T06:30:00T1'"),
    ("2024-03-01  06:30:00", "Invalid epoch format: Invalid ISO epoch: '2024-03-01  06:30:00'"),
    ("2024-03T06:30:00", "Invalid epoch format: Invalid date format: '2024-03'"),
    ("y-03-01T06:30:00", "Invalid epoch format: Invalid year: 'y'"),
    ("2024--01T06:30:00", "Invalid epoch format: Invalid month: ''"),
    ("2024-03-01Tx:30:00", "Invalid epoch format: Invalid hour: 'x'"),
    ("2024-03-01T06:-1:00", "Invalid epoch format: Invalid minute: '-1'"),
    ("2024-03-01T06:30:15+01:00", "Invalid epoch format: Invalid second: '15+01'"),
    ("2024-03-01TZ", "Invalid epoch format: Invalid time format: ''"),
])
def test_parse_errors(text, message):
    with pytest.raises(ValueError) as info:
        Epoch.parse(text)
    assert str(info.value) == message


def random_datetimes(n, seed=7):
    rng = random.Random(seed)
    lo = dt.datetime(1, 1, 1, tzinfo=UTC).timestamp()
    hi = dt.datetime(9999, 12, 31, 23, 59, 59, tzinfo=UTC).timestamp()
    for _ in range(n):
        t = rng.uniform(lo, hi)
        yield dt.datetime.fromtimestamp(int(t), UTC).replace(microsecond=rng.randrange(1_000_000))


@pytest.mark.parametrize("d", list(random_datetimes(200)) + [dt.datetime(1970, 1, 1, tzinfo=UTC),
                                                              dt.datetime(2000, 2, 29, 12, tzinfo=UTC)])
def test_iso_round_trip_against_datetime(d):
    e = Epoch(d.year, d.month, d.day, d.hour, d.minute, d.second + d.microsecond / 1e6)
    text = e.to_iso()
    # Milliseconds are truncated from the stored float; compare with the
    # truncation of the same float computed here.
    ms = int((e.second - math.floor(e.second)) * 1e9) // 1_000_000
    assert text == iso_of(d.replace(microsecond=ms * 1000))
    back = Epoch.parse(text)
    assert fields(back)[:5] == fields(e)[:5]
    assert back.second == pytest.approx(math.floor(e.second) + ms / 1000, abs=1e-12)


def as_datetime(e):
    return dt.datetime(e.year, e.month, e.day, e.hour, e.minute, int(e.second), round(e.second % 1 * 1e6), tzinfo=UTC)


@pytest.mark.parametrize("e", [
    Epoch(1980, 1, 6), Epoch(1980, 1, 13, 0, 0, 1.5), Epoch(2024, 3, 1, 6, 30, 15.25), Epoch(2020, 6, 25, 23, 59, 30.0),
    Epoch(2000, 1, 1, 12), Epoch(2024, 12, 31), Epoch(2023, 12, 31), Epoch(2024, 3, 1), Epoch(2021, 1, 1),
    Epoch(2100, 3, 1), Epoch(1858, 11, 17), Epoch(1600, 2, 29, 18),
], ids=str)
def test_gps_time_julian_date_and_day_of_year_against_datetime(e):
    d = as_datetime(e)
    if d >= GPS_ORIGIN:
        secs = (d - GPS_ORIGIN).total_seconds()
        week, sow = e.to_gps_time()
        assert week == secs // 604800 and sow == pytest.approx(secs % 604800, abs=1e-9)
    # Julian date: days since the Unix epoch plus its Julian date (J2000 is 2451545.0, MJD 0 is 2400000.5).
    unix_days = (d - dt.datetime(1970, 1, 1, tzinfo=UTC)).total_seconds() / 86400
    assert e.julian_date() == pytest.approx(unix_days + 2440587.5, abs=1e-9)
    assert e.day_of_year() == d.timetuple().tm_yday


def test_before_the_gps_origin_and_fields_out_of_range():
    assert Epoch(1980, 1, 5).to_gps_time() == (0, -86400.0)  # seconds go negative, the week stays 0
    assert Epoch(2000, 1, 1, 12).julian_date() == 2451545.0 and Epoch(1858, 11, 17).julian_date() == 2400000.5
    # The formula carries month 13 into January; the day of year does not carry.
    assert Epoch(2023, 13, 1).julian_date() == Epoch(2024, 1, 1).julian_date()
    assert (Epoch(2023, 13, 1).day_of_year(), Epoch(2023, 2, 30).day_of_year()) == (1, 1)


# Fields outside their ranges carry like a calendar does, never reading the
# clock: the same epoch gives the same text in every run.
@pytest.mark.parametrize("e, iso", [
    (Epoch(2023, 13, 1), "2024-01-01T00:00:00.000Z"), (Epoch(2023, 0, 15), "2022-12-15T00:00:00.000Z"),
    (Epoch(2023, 3, 0), "2023-02-28T00:00:00.000Z"), (Epoch(2023, 1, 32), "2023-02-01T00:00:00.000Z"),
    (Epoch(2023, 4, 31), "2023-05-01T00:00:00.000Z"), (Epoch(2023, 2, 30), "2023-03-02T00:00:00.000Z"),
    (Epoch(2023, 12, 31, 24), "2024-01-01T00:00:00.000Z"), (Epoch(2023, 12, 31, 23, 60), "2024-01-01T00:00:00.000Z"),
    (Epoch(2016, 12, 31, 23, 59, 60.0), "2017-01-01T00:00:00.000Z"),
    (Epoch(2016, 12, 31, 23, 59, 60.5), "2017-01-01T00:00:00.500Z"),
    (Epoch(2024, 1, 1, 0, 0, -3.5), "2024-01-01T00:00:00.500Z"),
    (Epoch(2024, 1, 1, 0, 0, float("nan")), "2024-01-01T00:00:00.000Z"),
    (Epoch(2024, 25, 1), "2026-01-01T00:00:00.000Z"), (Epoch(10000, 1, 1), "+10000-01-01T00:00:00.000Z"),
    (Epoch(0, 1, 1), "0000-01-01T00:00:00.000Z"), (Epoch(-1, 1, 1), "-0001-01-01T00:00:00.000Z"),
    # Milliseconds are truncated, not rounded.
    (Epoch(2015, 1, 1, 0, 0, 15.2509), "2015-01-01T00:00:15.250Z"),
    (Epoch(2015, 1, 1, 0, 0, 15.9999999), "2015-01-01T00:00:15.999Z"),
])
def test_out_of_range_fields_carry_deterministically(e, iso):
    assert e.to_iso() == iso
    assert str(e) == iso and repr(e) == f"Epoch({iso})"


def test_out_of_range_fields_keep_order_and_gps_time():
    leap = Epoch(2016, 12, 31, 23, 59, 60.0)
    assert leap.to_gps_time() == Epoch(2017, 1, 1).to_gps_time()
    seq = [Epoch(2023, 12, 31, 23, 59, 59.0), Epoch(2023, 12, 31, 23, 59, 60.0), Epoch(2023, 12, 31, 24, 0, 1.0)]
    assert [e.to_iso() for e in seq] == sorted(e.to_iso() for e in seq)


def test_extreme_fields_never_fail():
    e = Epoch(2**31 - 1, 2**32 - 1, 2**32 - 1, 2**32 - 1, 2**32 - 1, 1e300)
    assert e.to_iso().startswith("+")
    week, sow = e.to_gps_time()
    assert week == 2**32 - 1
    assert math.isfinite(e.julian_date())
    # 400 digits of seconds: whole seconds saturate at 2**32 - 1 when converted.
    e = Epoch.parse("2024 1 1 0 0 " + "9" * 400)
    assert e.second == float("inf")
    assert e.to_iso() == iso_of(dt.datetime(2024, 1, 1) + dt.timedelta(seconds=2**32 - 1))
    with pytest.raises(ValueError):
        Epoch.parse("2024 1 1 0 " + "9" * 400 + " 0")
