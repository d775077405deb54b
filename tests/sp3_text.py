"""Builders for small SP3 texts in the fixed byte columns of the format."""


def header1(num_epochs=96, version="c"):
    # Columns 33-39 hold the number of epochs.
    return f"#{version}P2021  1  1  0  0  0.00000000 {num_epochs:>7} ORBIT IGb14 HLM  IGS"


def header2(interval="900.00000000"):
    # Columns 25-38 hold the epoch interval.
    return f"## 2138 432000.00000000 {interval:>14} 59215 0.0000000000000"


def epoch_line(year, month, day, hour=0, minute=0, second=0.0):
    return f"*  {year:4d} {month:2d} {day:2d} {hour:2d} {minute:2d} {second:11.8f}"


def p_line(sat, x_km, y_km, z_km, clock_us=12.345678):
    return f"P{sat:>3}{x_km:14.6f}{y_km:14.6f}{z_km:14.6f}{clock_us:14.6f}"


def sp3_text(records, num_epochs=None, interval="900.00000000", extra_header=()):
    """`records`: iterable of ((y, mo, d, h, mi, s), [(sat, x_km, y_km, z_km), ...])."""
    records = list(records)
    lines = [header1(len(records) if num_epochs is None else num_epochs), header2(interval), *extra_header]
    for epoch, sats in records:
        lines.append(epoch_line(*epoch))
        for sat in sats:
            lines.append(p_line(*sat))
    lines.append("EOF")
    return "\n".join(lines) + "\n"


def grid_epoch(seconds, day=1):
    """Epoch fields of `seconds` (>= 0, whole or fractional) after 2021-01-`day` 00:00."""
    whole = int(seconds)
    day += whole // 86400
    sod = whole % 86400
    return (2021, 1, day, sod // 3600, sod // 60 % 60, sod % 60 + (seconds - whole))
