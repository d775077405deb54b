"""Seed corpora for the fuzz targets: pieces of the real files of
../shared/data and of the project's own small test files.

Large files are cut into pieces (the first lines of the file, which hold the
header, and slices from the data section) so that each seed stays small.
"""
import gzip
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT.parent / "shared" / "data"
PIECE = 16384


def pieces(raw: bytes):
    yield raw[:PIECE]
    step = max(len(raw) // 6, PIECE)
    for start in range(PIECE, len(raw), step):
        yield raw[start:start + PIECE]


def text_of(path: pathlib.Path) -> bytes:
    raw = path.read_bytes()
    return gzip.decompress(raw) if path.suffix == ".gz" else raw


def write(corpus: pathlib.Path, name: str, blobs):
    target = corpus / name
    target.mkdir(parents=True, exist_ok=True)
    for i, blob in enumerate(blobs):
        (target / f"seed{i:04d}").write_bytes(blob)


def main(out: str) -> None:
    corpus = pathlib.Path(out)
    obs_files = [p for sub in ("rinex2", "rinex3", "rinex4", "odd") for p in sorted((DATA / sub).glob("*"))
                 if p.is_file() and "sp3" not in p.name.lower()]
    obs_files += sorted((ROOT / "tests" / "files" / "rinex").glob("*")) if (ROOT / "tests" / "files" / "rinex").exists() else []
    sp3_files = sorted((DATA / "sp3").glob("*")) + sorted((DATA / "odd").glob("*sp3*"))
    sp3_files += sorted((ROOT / "tests" / "files" / "sp3").glob("*")) if (ROOT / "tests" / "files" / "sp3").exists() else []

    obs = [piece for p in obs_files for piece in pieces(text_of(p))]
    # The reader decides the decoding by content: plain and gzip pieces alike.
    obs_seeds = obs + [gzip.compress(o, mtime=0) for o in obs[:20]]
    # Compact RINEX: the first lines of each real compact file (header and
    # first epochs), alone and inside gzip and compress.
    compact = []
    for p in sorted((DATA / "crx").glob("*")):
        if p.name.endswith(("d", "d.Z", ".crx", ".crx.gz")):
            raw = p.read_bytes()
            if raw[:2] == b"\x1f\x9d":
                import ncompress
                raw = ncompress.decompress(raw)
            elif raw[:2] == b"\x1f\x8b":
                raw = gzip.decompress(raw)
            compact.append(raw[:PIECE])
            compact.append(raw[:4 * PIECE])
    packed = [gzip.compress(c, mtime=0) for c in compact]
    try:
        import ncompress
        packed += [ncompress.compress(c) for c in compact]
    except ImportError:
        pass
    write(corpus, "fuzz_input", compact + packed + obs[:20])
    for name in ("fuzz_obs_reader", "fuzz_obs_analysis"):
        write(corpus, name, obs_seeds + compact + packed)
    write(corpus, "fuzz_sp3", [piece for p in sp3_files for piece in pieces(text_of(p))])
    write(corpus, "fuzz_epoch", [b"2024 03 01 06 30 15.2500000", b"2024-03-01T06:30:15.250Z",
                                  b"24 3 1 6 30 15.25", b"2024-03-01 06:30:15+00:00"])
    nav_files = sorted((DATA / "nav").glob("*"))
    write(corpus, "fuzz_nav_reader", [piece for p in nav_files for piece in pieces(text_of(p))])
    write(corpus, "fuzz_identifiers", [b"G01", b"g 1", b"C1C", b"L2W", b"1.5e3", b"-42", b"inf"])
    print(f"corpora written to {corpus}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/fuzz/corpus")
