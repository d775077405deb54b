"""Several SP3 files read as one orbit, checked against a merged file written
independently (header of the first file, epoch blocks in time order, the block
read first kept) and against the single files; and the partner bands."""
import datetime as dt
import gzip

import pytest

import skarvo_mp as sk
from sp3_text import epoch_line, grid_epoch, header1, header2, p_line

DAY176 = "sp3/GRG0MGXFIN_20201760000_01D_15M_ORB.SP3.gz"
DAY177 = "sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz"


def reference_merge(texts):
    """The merged text: the first file's lines before its first epoch line,
    then every epoch block (up to the next epoch or EOF line) in time order,
    an epoch kept from the block read first."""
    header, blocks = None, {}
    for text in texts:
        head, current, seen_block = [], None, False
        for line in text.splitlines():
            if line.startswith("EOF"):
                current = None
            elif line.startswith("*"):
                f = line[1:].split()
                try:
                    key = dt.datetime(*map(int, f[:5])) + dt.timedelta(seconds=float(f[5]))
                except (ValueError, IndexError):
                    current = None
                    continue
                # A repeated epoch: the block read first stays.
                current = [] if key in blocks else blocks.setdefault(key, [])
                current.append(line)
                seen_block = True
            elif current is not None:
                current.append(line)
            elif not seen_block:
                head.append(line)
        header = head if header is None else header
    return "\n".join(header + [line for key in sorted(blocks) for line in blocks[key]] + ["EOF"]) + "\n"


def text_of(epochs, sats, offset_km=0.0, head=(header1(), header2())):
    lines = list(head)
    for k, t in enumerate(epochs):
        lines.append(epoch_line(*grid_epoch(t)))
        lines += [p_line(s, 15000.0 + 10.0 * i + t / 90.0 + offset_km, -9000.0 - t / 60.0, 21000.0 + k * 0.5)
                  for i, s in enumerate(sats)]
    return "\n".join(lines + ["EOF"]) + "\n"


def view(d, epochs):
    """Everything an Sp3Data tells, at the given epoch offsets (seconds)."""
    where = {}
    for s in d.satellites():
        for t in epochs:
            p = d.get_position(s, sk.Epoch(*grid_epoch(t)))
            where[s, t] = None if p is None else (p.x, p.y, p.z)
    return repr(d), d.satellites(), [e.to_iso() for e in d.epochs()], where


HOURLY = [3600 * k for k in range(12)]
CASES = {
    # Overlapping hours 6-11: the first file's blocks win, also for G03 there.
    "overlap": [text_of(HOURLY, ["G01", "G02"]), text_of([3600 * k for k in range(6, 20)], ["G03", "G02", "G01"], 0.5)],
    # The same with the files the other way round; the header is then the later file's.
    "overlap-reversed": [text_of([3600 * k for k in range(6, 20)], ["G03", "G02", "G01"], 0.5,
                                 head=(header1(14), header2("3600.00000000"))), text_of(HOURLY, ["G01", "G02"])],
    # A gap of five hours, other satellites and another interval.
    "gap-and-intervals": [text_of([900 * k for k in range(20)], ["E11", "G05"]),
                          text_of([36000 + 300 * k for k in range(40)], ["R07", "G05"], 1.0)],
    # Repeated epoch inside one file, lines after EOF, an epoch line that does
    # not read (its records are dropped with it), a month 13.
    "odd-blocks": [text_of(HOURLY, ["G01"]).replace("EOF\n", "EOF\nPG01  1.0 2.0 3.0\n" + epoch_line(2021, 1, 1, 1)
                                                   + "\n" + p_line("G01", 1.0, 2.0, 3.0) + "\n"),
                   text_of([3600 * k + 1800 for k in range(12)], ["G01"], 2.0).replace(
                       epoch_line(*grid_epoch(5400)), "*  2021  1  1  1 30  x").replace(
                       epoch_line(*grid_epoch(9000)), epoch_line(2021, 13, 1, 2, 30))],
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_merge_equals_an_independently_merged_file(tmp_path, name):
    paths = []
    for i, text in enumerate(CASES[name]):
        paths.append(tmp_path / f"part{i}.sp3")
        paths[-1].write_text(text)
    (tmp_path / "merged.sp3").write_text(reference_merge(CASES[name]))
    probe = [450 * k for k in range(200)]
    assert view(sk.read_sp3_files(paths), probe) == view(sk.read_sp3(tmp_path / "merged.sp3"), probe)


@pytest.mark.realdata
def test_two_days_merge_like_the_single_files_inside_each(data, tmp_path):
    texts = [gzip.decompress(data(n).read_bytes()).decode() for n in (DAY176, DAY177)]
    (tmp_path / "merged.sp3").write_text(reference_merge(texts))
    merged = sk.read_sp3_files([data(DAY176), str(data(DAY177))])
    reference = sk.read_sp3(tmp_path / "merged.sp3")
    assert repr(merged) == repr(reference) == "Sp3Data(satellites=75, epochs=96, interval=900s)"
    assert [e.to_iso() for e in merged.epochs()] == [e.to_iso() for e in reference.epochs()]
    assert len(merged.epochs()) == 192
    singles = [sk.read_sp3(data(n)) for n in (DAY176, DAY177)]
    for day, single in zip((24, 25), singles):
        for sat in ("G01", "R07", "E11", "E36"):
            for hour in (3, 11.5, 20):
                e = sk.Epoch(2020, 6, day, int(hour), int(hour % 1 * 60), 7.5)
                a, b, c = (d.get_position(sat, e) for d in (merged, single, reference))
                assert (a.x, a.y, a.z) == (b.x, b.y, b.z) == (c.x, c.y, c.z)
    # Across midnight the merged orbit interpolates between the days, where
    # the single file alone extrapolates no further than one interval.
    midnight = sk.Epoch(2020, 6, 25, 0, 20)
    assert singles[0].get_position("G01", midnight) is None
    assert merged.get_position("G01", midnight) is not None


def test_one_path_reads_as_read_sp3_and_bad_arguments(data, tmp_path):
    one = sk.read_sp3_files([data("sp3/igs21385.sp3")])
    single = sk.read_sp3(data("sp3/igs21385.sp3"))
    probe = [600 * k for k in range(144)]
    assert view(one, probe) == view(single, probe)
    with pytest.raises(ValueError, match="at least one path"):
        sk.read_sp3_files([])
    with pytest.raises(TypeError):
        sk.read_sp3_files(str(data("sp3/igs21385.sp3")))
    missing = tmp_path / "missing.sp3"
    with pytest.raises(OSError, match=f"Failed to read SP3: I/O error: {missing}: No such file"):
        sk.read_sp3_files([data("sp3/igs21385.sp3"), missing])
    (tmp_path / "latin1.sp3").write_bytes(b"/* caf\xe9\n")
    with pytest.raises(OSError, match="latin1.sp3: stream did not contain valid UTF-8"):
        sk.read_sp3_files([data("sp3/igs21385.sp3"), tmp_path / "latin1.sp3"])


@pytest.mark.parametrize("system", list("GRECJSI"))
def test_partner_bands_are_bands_of_the_system(system):
    bands = sk.partner_bands(system)
    assert bands == sk.partner_bands(system.lower()) and len(set(bands)) == len(bands) >= 2
    assert all(sk.get_frequency(system, b, 0) is not None for b in bands)


@pytest.mark.parametrize("bad", ["X", "", "GPS", "M", "Ü"])
def test_partner_bands_refuse_unknown_systems(bad):
    with pytest.raises(ValueError, match="Unknown system"):
        sk.partner_bands(bad)
