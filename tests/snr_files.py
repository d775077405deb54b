"""Small RINEX 3 observation files written for the SNR tests."""
from datetime import datetime, timedelta

START = datetime(2020, 6, 25)


def rinex3(epochs, types, interval=30.0):
    """Text of a RINEX 3.04 file.

    epochs: list of (seconds after 2020-06-25 00:00, {satellite: {code: value}})
    types: {system letter: [codes in header order]}
    """
    lines = []

    def header(text, label):
        lines.append(f"{text:<60}{label:<20}")

    header("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE")
    for system, codes in types.items():
        header(f"{system}  {len(codes):3d}" + "".join(f" {c}" for c in codes), "SYS / # / OBS TYPES")
    if interval is not None:
        header(f"{interval:10.3f}", "INTERVAL")
    header("", "END OF HEADER")
    for offset, sats in epochs:
        t = START + timedelta(seconds=offset)
        sec = t.second + t.microsecond / 1e6
        lines.append(f"> {t.year:4d} {t.month:02d} {t.day:02d} {t.hour:02d} {t.minute:02d}{sec:11.7f}  0{len(sats):3d}")
        for sat, obs in sats.items():
            fields = "".join(" " * 16 if obs.get(c) is None else f"{obs[c]:14.3f}  " for c in types[sat[0]])
            lines.append((sat + fields).rstrip())
    return "\n".join(lines) + "\n"


def snr_wave(i, k=0):
    """A plausible SNR value in dB-Hz with a slow trend and a reflection ripple."""
    import math

    return 42.0 + 6.0 * math.sin(i * 0.004 + k) + 0.8 * math.sin(i * 0.21 + 0.3 * k)
