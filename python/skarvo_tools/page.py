"""The HTML pages of a report: one self-contained page per file (inline style,
figures by relative path, so it opens from disk without a server) and an
index page for a batch."""
from __future__ import annotations

import html
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .tables import MP_COLUMNS, MP_HEADINGS, fmt, mask_text, orbit_source_text

STYLE = """
body{font-family:system-ui,-apple-system,Segoe UI,Helvetica,Arial,sans-serif;margin:2em;color:#222;max-width:1300px}
h1{font-size:1.5em;margin-bottom:.2em} h2{font-size:1.2em;margin-top:1.6em;border-bottom:1px solid #ccc}
table{border-collapse:collapse;margin:.5em 0;font-size:.92em}
th,td{padding:.25em .7em;border-bottom:1px solid #e3e3e3;text-align:right}
th:first-child,td:first-child{text-align:left} th{background:#f3f5f7}
tr.failed td,tr.interrupted td{color:#a00} tr.empty td{color:#8a5300}
nav.toc{margin:.5em 0 1em;font-size:.95em} ul.summary{line-height:1.5}
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


def _summary(data: Dict[str, Any]) -> List[str]:
    """A few sentences with the headline numbers of a report."""
    f = data["file"]
    out = []
    interval = f"{f['interval_s']:g} s" if f["interval_s"] is not None else "an unknown interval"
    out.append(f"{f['epochs']} epochs at {interval} from {f['first_epoch'] or '–'} to {f['last_epoch'] or '–'}, "
               f"{f['satellites']} satellites.")
    if data.get("status", "ok") != "ok":
        out.append(f"No multipath: {data.get('status_reason') or 'no estimate'}.")
    else:
        rows = [r for r in data["multipath"] if r["rms_m"] is not None]
        worst = max(rows, key=lambda r: r["rms_m"]) if rows else None
        best = min(rows, key=lambda r: r["rms_m"]) if rows else None
        if worst and best:
            out.append(f"{len(rows)} signals with multipath estimates; RMS from {fmt(best['rms_m'], 3)} m "
                       f"({best['signal']}) to {fmt(worst['rms_m'], 3)} m ({worst['signal']}).")
    cs = data["cycle_slips"]
    out.append(f"{cs['total']} cycle slips; {fmt(cs['observations_per_slip'], 1)} observations per slip.")
    out.append(mask_text(data)[0].upper() + mask_text(data)[1:] + ".")
    return out


def report_page(data: Dict[str, Any], plots: Sequence[Tuple[str, str]], json_name: Optional[str],
                csv_name: Optional[str]) -> str:
    """The page of one report: a short summary and the figures first, then
    the tables, with links between the sections."""
    f = data["file"]
    parts: List[str] = [f"<h1>{_e(f['station'])} — {_e(f['day'] or 'no epochs')}</h1>",
                        f"<p>{_e(f['name'])}</p>"]
    sections: List[Tuple[str, str, str]] = []  # (id, title, html)

    summary = "<ul class=\"summary\">" + "".join(f"<li>{_e(t)}</li>" for t in _summary(data)) + "</ul>"
    if data["warnings"]:
        summary += ("<p class=\"note\">" + _e(f"{len(data['warnings'])} note(s): see ")
                    + '<a href="#notes">Notes</a>.</p>')
    sections.append(("summary", "Summary", summary))

    if plots:
        figs = "".join(f'<figure id="fig-{_e(name.rsplit(".", 1)[0])}"><img src="{_e(name)}" alt="{_e(caption)}">'
                       f"<figcaption>{_e(caption)}</figcaption></figure>" for name, caption in plots)
        sections.append(("figures", "Figures", figs))

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
        if el.get("by_system"):
            items.append(("With an elevation", ", ".join(
                f"{k} {c['placed']} of {c['placed'] + c['unplaced']}" for k, c in el["by_system"].items())))
    sections.append(("file", "File", "<dl>" + "".join(f"<dt>{_e(k)}</dt><dd>{_e(v)}</dd>" for k, v in items)
                     + "</dl>"))

    if data["multipath"]:
        rows = [[r["signal"], r["code"], r["estimates"]] + [fmt(r[k]) for k in MP_COLUMNS[3:9]]
                + [r["cycle_slips"], fmt(r["observations_per_slip"], 1)] for r in data["multipath"]]
        body = f"<p>{_e(mask_text(data))}.</p>" + _table(MP_HEADINGS, rows, "multipath")
    else:
        body = "<p>No signal could be paired for the multipath combination.</p>"
    sections.append(("multipath", "Code multipath per signal (m)", body))

    cs = data["cycle_slips"]
    body = _table(("method", "slips"), [[m, n] for m, n in cs["by_method"].items()] + [["total", cs["total"]]],
                  "slips-by-method")
    if cs["by_signal"]:
        body += _table(("phase signal", "slips"), list(cs["by_signal"].items()), "slips-by-signal")
    body += (f"<p>{_e(cs['observations'])} observations (satellite-epochs with a multipath estimate), "
             f"{_e(cs['slip_epochs'])} satellite-epochs with a slip: "
             f"<strong>{_e(fmt(cs['observations_per_slip'], 1))}</strong> observations per slip.</p>")
    sections.append(("slips", "Cycle slips", body))

    if data["snr"] is not None:
        if data["snr"]:
            body = _table(("system", "code", "count", "mean", "p10", "p90"),
                          [[r["system"], r["code"], r["count"], fmt(r["mean_dbhz"], 2), fmt(r["p10_dbhz"], 2),
                            fmt(r["p90_dbhz"], 2)] for r in data["snr"]], "snr")
        else:
            body = "<p>No SNR observations.</p>"
        sections.append(("snr", "SNR per system and code (dB-Hz)", body))

    fr = data.get("fresnel")
    if fr:
        height = f"{fr['antenna_height_m']:g}"
        reach = fr.get("max_reach_m")
        body = (f"<p>{_e(fr['footprints'])} first Fresnel zones for an antenna {_e(height)} m above a "
                f"horizontal reflector, elevations from {_e(fr['min_elevation_deg'])}°: the specular "
                f"reflection points lie up to {_e(fmt(fr['max_distance_m'], 1))} m from the antenna"
                + (f", and the zones reach up to {_e(fmt(reach, 1))} m" if reach is not None else "")
                + ".</p>")
        sections.append(("fresnel", "Fresnel zones", body))

    wv = data.get("snr_wavelets")
    if wv and wv["satellites"]:
        bands = [f"{lo:g}–{hi:g} s" for lo, hi in wv["bands_s"]]
        rows = [[s["satellite"], s["code"], s["samples"], s["arcs"]]
                + [fmt(v, 6) for v in s["mean_band_power"]]
                + ["–".join(f"{x:g}" for x in s["peak_band_s"]) if s["peak_band_s"] else "–"]
                for s in wv["satellites"]]
        body = ("<p>Mean wavelet power of the δSNR residuals per period band ((dB-Hz)²).</p>"
                + _table(["satellite", "code", "samples", "arcs"] + bands + ["peak band (s)"], rows, "band-power"))
        sections.append(("band-power", "δSNR band power (mean per satellite)", body))

    if data.get("quality"):
        from .quality import html_section
        parts.append(html_section(data["quality"], _table, _e))

    rf = data.get("reflector")
    if rf:
        body = (f"<p>{_e(rf['accepted'])} of {_e(rf['arcs'])} satellite arcs accepted; median reflector "
                f"height <strong>{_e(fmt(rf['height_m'], 3))} m</strong> (robust std "
                f"{_e(fmt(rf['std_m'], 3))} m) below the antenna.</p>")
        body += _table(("signal", "height (m)", "std (m)", "σ median (m)", "arcs", "rejected"),
                       [[d["signal"], fmt(d["height_m"], 3), fmt(d["std_m"], 3), fmt(d["sigma_median_m"], 3),
                         d["arcs"], d["rejected"]] for d in rf["daily"]], "reflector-daily")
        sectors = [r for r in rf["sectors"] if r["arcs"]]
        if sectors:
            body += _table(("azimuth (°)", "height (m)", "std (m)", "arcs"),
                           [[f"{r['azimuth_deg'][0]:g}–{r['azimuth_deg'][1]:g}", fmt(r["height_m"], 3),
                             fmt(r["std_m"], 3), r["arcs"]] for r in sectors], "reflector-sectors")
        sections.append(("reflector", "Reflector height", body))
    elif "reflector" in data:
        sections.append(("reflector", "Reflector height", "<p>No reflector heights: see the notes.</p>"))

    if data["warnings"]:
        sections.append(("notes", "Notes", "<ul>" + "".join(f'<li class="note">{_e(w)}</li>'
                                                            for w in data["warnings"]) + "</ul>"))
    links = [f'<a href="{_e(n)}">{_e(n)}</a>' for n in (json_name, csv_name) if n]
    if links:
        sections.append(("data", "Data", "<p>" + ", ".join(links) + "</p>"))

    parts.append('<nav class="toc">' + " · ".join(f'<a href="#{sid}">{_e(title)}</a>'
                                                 for sid, title, _ in sections) + "</nav>")
    for sid, title, body in sections:
        parts.append(f'<section id="{sid}"><h2>{_e(title)}</h2>{body}</section>')
    return _page(f"{f['station']} {f['day'] or ''} multipath report", "\n".join(parts))


def batch_page(entries: Sequence[Dict[str, Any]], csv_name: Optional[str], partial: bool = False) -> str:
    """Index of a batch: one row per file, linking to its own page. After an
    interruption the page says it is partial."""
    rows = []
    body = ["<h1>Multipath reports" + (" (partial: interrupted)" if partial else "") + "</h1>"]
    counts: Dict[str, int] = {}
    for e in entries:
        counts[e["status"]] = counts.get(e["status"], 0) + 1
        if e["status"] in ("ok", "no multipath"):
            d = e["data"]
            f = d["file"]
            worst = max((r["rms_m"] for r in d["multipath"] if r["rms_m"] is not None), default=None)
            link = f'<a href="{_e(e["page"])}">{_e(f["name"])}</a>' if e.get("page") else _e(f["name"])
            status = "ok" if e["status"] == "ok" else f"no multipath: {d.get('status_reason') or ''}"
            cls = "" if e["status"] == "ok" else ' class="empty"'
            rows.append(f"<tr{cls}><td>{link}</td><td>{_e(f['station'])}</td><td>{_e(f['day'])}</td>"
                        f"<td>{_e(f['epochs'])}</td><td>{_e(len(d['multipath']))}</td>"
                        f"<td>{_e(fmt(worst))}</td><td>{_e(d['cycle_slips']['total'])}</td>"
                        f"<td>{_e(fmt(d['cycle_slips']['observations_per_slip'], 1))}</td><td>{_e(status)}</td></tr>")
        else:
            rows.append(f'<tr class="{_e(e["status"])}"><td>{_e(e["path"])}</td><td></td><td></td><td></td><td></td>'
                        f"<td></td><td></td><td></td><td>{_e(e['status'])}: {_e(e.get('error'))}</td></tr>")
    body.append("<p>" + _e(", ".join(f"{n} {k}" for k, n in counts.items())) + "</p>")
    head = "".join(f"<th>{h}</th>" for h in ("file", "station", "day", "epochs", "signals", "largest rms (m)",
                                              "slips", "obs/slip", "status"))
    body.append(f'<table class="batch"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>')
    if csv_name:
        body.append(f'<p>Per-file, per-signal statistics: <a href="{_e(csv_name)}">{_e(csv_name)}</a></p>')
    return _page("Multipath reports", "\n".join(body))
