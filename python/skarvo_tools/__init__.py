"""Command line tools around the `skarvo_mp` extension module.

- `skarvo-mp report`: station report (tables, JSON, figures, an HTML page)
  for one or many RINEX observation files, optionally with SP3 orbits;
- `skarvo-mp demo`: a simulated station-day with a known truth, reported
  on and compared with that truth;
- `skarvo_tools.simulate`: the station simulator (needs NumPy).

The package imports neither NumPy nor matplotlib until a command needs them.
"""

__version__ = "1.0.1"
__all__ = ["__version__"]
