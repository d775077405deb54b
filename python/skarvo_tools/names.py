"""The satellite systems by their one-letter codes, as every part of the
tools names them: the short names are the prefixes of the analysis's signal
labels (GPSM1C, GALM5Q), the full names those of reports and figures."""
from __future__ import annotations

SYSTEM_LETTERS = "GRECJSIM"
SYSTEM_NAMES = {"G": "GPS", "R": "GLO", "E": "GAL", "C": "BDS", "J": "QZS", "S": "SBS", "I": "IRN",
                "M": "MIX"}
FULL_SYSTEM_NAMES = {"G": "GPS", "R": "GLONASS", "E": "Galileo", "C": "BeiDou", "J": "QZSS", "S": "SBAS",
                     "I": "NavIC", "M": "mixed"}
