"""The HTML pages of a report: one self-contained page per file (inline style,
figures by relative path, so it opens from disk without a server) and an
index page for a batch."""
from __future__ import annotations

import html
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .tables import MP_COLUMNS, MP_HEADINGS, fmt, orbit_source_text

STYLE = """
body{font-family:system-ui,-apple-system,Segoe UI,Helvetica,Arial,sans-serif;margin:2em;color:#222;max-width:1300px}
h1{font-size:1.5em;margin-bottom:.2em} h2{font-size:1.2em;margin-top:1.6em;border-bottom:1px solid #ccc}
table{border-collapse:collapse;margin:.5em 0;font-size:.92em}
th,td{padding:.25em .7em;border-bottom:1px solid #e3e3e3;text-align:right}
th:first-child,td:first-child{text-align:left} th{background:#f3f5f7}
tr.failed td{color:#a00}
dl{display:grid;grid-template-columns:max-content auto;gap:.2em 1em} dt{font-weight:600}
figure{margin:1em 0} figure img{max-width:100%;border:1px solid #ddd}
figcaption{font-size:.9em;color:#555}
.note{color:#8a5300}
"""


def _e(value: Any) -> str:
    return html.escape("" if value is None else str(value), quote=True)


def _table(headings: Sequence[str], rows: Sequence[Sequence[Any]], cls: str = "") -> str:
    head = "".join(f"<th>{_e(h)}</th>" for h in headings)
    body = "".join("<tr>" + "".join(f"<td>{_e(c)}</td>" for c in r) + "</tr>" for r in rows)
    return f'<table class="{_e(cls)}"><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>'


def _page(title: str, body: str) -> str:
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            f"<title>{_e(title)}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n{body}\n</body>\n</html>\n")


def report_page(data: Dict[str, Any], plots: Sequence[Tuple[str, str]], json_name: Optional[str],
                csv_name: Optional[str]) -> str:
    """The page of one report."""
    f = data["file"]
    parts: List[str] = [f"<h1>{_e(f['station'])} — {_e(f['day'] or 'no epochs')}</h1>",
                        f"<p>{_e(f['name'])}</p>"]
    items = [("Marker", f["marker"]), ("Receiver", f["receiver"]), ("Antenna", f["antenna"]),
             ("RINEX version", f["rinex_version"]), ("First epoch", f["first_epoch"]),
             ("Last epoch", f["last_epoch"]),
             ("Interval", f"{f['interval_s']:g} s" if f["interval_s"] is not None else "unknown"),
             ("Epochs", f["epochs"]),
             ("Satellites", f"{f['satellites']} (" + ", ".join(
                 f"{k} {v}" for k, v in f["satellites_by_system"].items()) + ")"),
             ("Systems analysed", " ".join(data["settings"]["systems"]))]
    el = data.get("elevations")
    if el:
        items.append(("Elevations", f"{el['computed']} computed, {el['failed']} failed, "
                      + orbit_source_text(el) + f", receiver from the {el['receiver_source']}"))
    parts.append("<h2>File</h2><dl>" + "".join(f"<dt>{_e(k)}</dt><dd>{_e(v)}</dd>" for k, v in items)
                 + "</dl>")

    parts.append("<h2>Code multipath per signal (m)</h2>")
    if data["multipath"]:
        rows = [[r["signal"], r["code"], r["estimates"]] + [fmt(r[k]) for k in MP_COLUMNS[3:9]]
                + [r["cycle_slips"], fmt(r["observations_per_slip"], 1)] for r in data["multipath"]]
        parts.append(_table(MP_HEADINGS, rows, "multipath"))
    else:
        parts.append("<p>No signal could be paired for the multipath combination.</p>")

    cs = data["cycle_slips"]
    parts.append("<h2>Cycle slips</h2>")
    parts.append(_table(("method", "slips"), [[m, n] for m, n in cs["by_method"].items()]
                        + [["total", cs["total"]]], "slips-by-method"))
    if cs["by_signal"]:
        parts.append(_table(("phase signal", "slips"), list(cs["by_signal"].items()), "slips-by-signal"))
    parts.append(f"<p>{_e(cs['observations'])} observations (satellite-epochs with a multipath estimate), "
                 f"{_e(cs['slip_epochs'])} satellite-epochs with a slip: "
                 f"<strong>{_e(fmt(cs['observations_per_slip'], 1))}</strong> observations per slip.</p>")

    if data["snr"] is not None:
        parts.append("<h2>SNR per system and code (dB-Hz)</h2>")
    if data["snr"]:
        parts.append(_table(("system", "code", "count", "mean", "p10", "p90"),
                            [[r["system"], r["code"], r["count"], fmt(r["mean_dbhz"], 2), fmt(r["p10_dbhz"], 2),
                              fmt(r["p90_dbhz"], 2)] for r in data["snr"]], "snr"))
    elif data["snr"] is not None:
        parts.append("<p>No SNR observations.</p>")

    wv = data.get("snr_wavelets")
    if wv and wv["satellites"]:
        bands = [f"{lo:g}–{hi:g} s" for lo, hi in wv["bands_s"]]
        parts.append("<h2>δSNR band power (mean per satellite)</h2>")
        rows = [[s["satellite"], s["code"], s["samples"], s["arcs"]]
                + [fmt(v, 6) for v in s["mean_band_power"]]
                + ["–".join(f"{x:g}" for x in s["peak_band_s"]) if s["peak_band_s"] else "-"]
                for s in wv["satellites"]]
        parts.append(_table(["satellite", "code", "samples", "arcs"] + bands + ["peak band (s)"], rows,
                            "band-power"))

    fr = data.get("fresnel")
    if fr:
        height = f"{fr['antenna_height_m']:g}"
        parts.append("<h2>Fresnel zones</h2>")
        parts.append(f"<p>{_e(fr['footprints'])} first Fresnel zones for an antenna "
                     f"{_e(height)} m above a horizontal reflector, "
                     f"elevations from {_e(fr['min_elevation_deg'])}°; the farthest lies "
                     f"{_e(fmt(fr['max_distance_m'], 1))} m from the antenna.</p>")

    rf = data.get("reflector")
    if "reflector" in data:
        parts.append("<h2>Reflector height</h2>")
    if rf:
        parts.append(f"<p>{_e(rf['accepted'])} of {_e(rf['arcs'])} satellite arcs accepted; median reflector "
                     f"height <strong>{_e(fmt(rf['height_m'], 3))} m</strong> (robust std "
                     f"{_e(fmt(rf['std_m'], 3))} m) below the antenna.</p>")
        parts.append(_table(("signal", "height (m)", "std (m)", "σ median (m)", "arcs", "rejected"),
                            [[d["signal"], fmt(d["height_m"], 3), fmt(d["std_m"], 3), fmt(d["sigma_median_m"], 3),
                              d["arcs"], d["rejected"]] for d in rf["daily"]], "reflector-daily"))
        sectors = [r for r in rf["sectors"] if r["arcs"]]
        if sectors:
            parts.append(_table(("azimuth (°)", "height (m)", "std (m)", "arcs"),
                                [[f"{r['azimuth_deg'][0]:g}–{r['azimuth_deg'][1]:g}", fmt(r["height_m"], 3),
                                  fmt(r["std_m"], 3), r["arcs"]] for r in sectors], "reflector-sectors"))
    elif "reflector" in data:
        parts.append("<p>No reflector heights: see the notes.</p>")

    if plots:
        parts.append("<h2>Figures</h2>")
        for name, caption in plots:
            parts.append(f'<figure><img src="{_e(name)}" alt="{_e(caption)}">'
                         f"<figcaption>{_e(caption)}</figcaption></figure>")
    if data["warnings"]:
        parts.append("<h2>Notes</h2><ul>" + "".join(f'<li class="note">{_e(w)}</li>' for w in data["warnings"])
                     + "</ul>")
    links = [f'<a href="{_e(n)}">{_e(n)}</a>' for n in (json_name, csv_name) if n]
    if links:
        parts.append("<p>Data: " + ", ".join(links) + "</p>")
    return _page(f"{f['station']} {f['day'] or ''} multipath report", "\n".join(parts))


def batch_page(entries: Sequence[Dict[str, Any]], csv_name: Optional[str]) -> str:
    """Index of a batch: one row per file, linking to its own page."""
    rows = []
    body = ["<h1>Multipath reports</h1>"]
    for e in entries:
        if e["status"] == "ok":
            d = e["data"]
            f = d["file"]
            worst = max((r["rms_m"] for r in d["multipath"] if r["rms_m"] is not None), default=None)
            link = f'<a href="{_e(e["page"])}">{_e(f["name"])}</a>' if e.get("page") else _e(f["name"])
            rows.append(f"<tr><td>{link}</td><td>{_e(f['station'])}</td><td>{_e(f['day'])}</td>"
                        f"<td>{_e(f['epochs'])}</td><td>{_e(len(d['multipath']))}</td>"
                        f"<td>{_e(fmt(worst))}</td><td>{_e(d['cycle_slips']['total'])}</td>"
                        f"<td>{_e(fmt(d['cycle_slips']['observations_per_slip'], 1))}</td><td>ok</td></tr>")
        else:
            rows.append(f'<tr class="failed"><td>{_e(e["path"])}</td><td></td><td></td><td></td><td></td>'
                        f"<td></td><td></td><td></td><td>failed: {_e(e['error'])}</td></tr>")
    head = "".join(f"<th>{h}</th>" for h in ("file", "station", "day", "epochs", "signals", "largest rms (m)",
                                              "slips", "obs/slip", "status"))
    body.append(f'<table class="batch"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>')
    if csv_name:
        body.append(f'<p>Per-file, per-signal statistics: <a href="{_e(csv_name)}">{_e(csv_name)}</a></p>')
    return _page("Multipath reports", "\n".join(body))
