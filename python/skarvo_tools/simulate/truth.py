"""The truth a simulation records: the realised code errors per signal,
which slip tests must see each injected slip, and the JSON summary the demo
and the tests compare the analysis with."""
from __future__ import annotations

import math
from typing import Dict, List, Optional

import numpy as np

from .model import InjectedSlip, SignalModel
from .physics import SPEED_OF_LIGHT, carrier_frequency


class TruthRecord:
    """The truth queries of `Simulation`, on what it built: config, t_s,
    receiver_ecef, tracks, slips, satellites and epoch_iso."""

    def signal_models(self) -> Dict[str, SignalModel]:
        """Signal label -> model, for the signals present on any satellite."""
        out = {}
        for track in self.tracks.values():
            for sig in track.signals:
                out[sig.label] = sig
        return dict(sorted(out.items()))

    def code_error_rms(self) -> Dict[str, float]:
        """Realised RMS (m) of multipath plus noise per signal label over all observations."""
        sums: Dict[str, List[float]] = {}
        for track in self.tracks.values():
            for sig in track.signals:
                e = track.code_error[sig.code]
                e = e[np.isfinite(e)]
                acc = sums.setdefault(sig.label, [0.0, 0])
                acc[0] += float(np.sum(e * e))
                acc[1] += int(e.size)
        return {k: math.sqrt(v[0] / v[1]) for k, v in sorted(sums.items()) if v[1] > 0}

    def expected_detections(self, slip: InjectedSlip, interval_s: Optional[float] = None,
                            ion_base: float = 0.10, ion_rate: float = 0.003,
                            cp_base: float = 5.0, cp_rate: float = 0.10) -> Dict[str, bool]:
        """Which slip tests must see a slip, with a safety margin over noise.

        Returns {"lli": ..., "gf": ..., "code_phase": ...}. A test counts as
        expected only when the jump exceeds its threshold by a margin that the
        ionosphere, multipath and noise cannot eat (0.05 m for the
        geometry-free test, 5 m for code minus phase).
        """
        import skarvo_mp

        dt = interval_s or self.config.interval_s
        track = self.tracks[slip.satellite]
        phases = {sig.band: sig for sig in track.signals}
        # Partners in the order the analysis's geometry-free test walks them.
        partners = skarvo_mp.partner_bands(track.system)
        gf = False
        for sig in track.signals:
            partner = next((phases[b] for b in partners
                            if b != sig.band and b in phases), None)
            if partner is None:
                continue
            f1 = carrier_frequency(track.system, sig.band, track.fcn)
            f2 = carrier_frequency(track.system, partner.band, track.fcn)
            alpha = (f1 / f2) ** 2
            jump = (SPEED_OF_LIGHT / f1 * slip.cycles.get(sig.phase, 0)
                    - SPEED_OF_LIGHT / f2 * slip.cycles.get(partner.phase, 0)) / (alpha - 1.0)
            gf = gf or abs(jump) > ion_base + ion_rate * dt + 0.05
        cp = any(abs(SPEED_OF_LIGHT / carrier_frequency(track.system, int(code[1]), track.fcn) * n)
                 > cp_base + cp_rate * dt + 5.0 for code, n in slip.cycles.items())
        return {"lli": slip.lli, "gf": gf, "code_phase": cp}

    def truth(self) -> dict:
        """The truth as JSON-ready data: station, signals, slips, reflector."""
        models = self.signal_models()
        rms = self.code_error_rms()
        return {
            "receiver_ecef_m": [float(v) for v in self.receiver_ecef],
            "latitude_deg": self.config.latitude_deg,
            "longitude_deg": self.config.longitude_deg,
            "height_m": self.config.height_m,
            "reflector_height_m": self.config.reflector_height_m,
            "reflector": self._reflector_truth(),
            "seed": self.config.seed,
            "first_epoch": self.epoch_iso(0),
            "last_epoch": self.epoch_iso(self.t_s.size - 1),
            "interval_s": self.config.interval_s,
            "satellites": self.satellites,
            "signals": {label: {"code": m.code, "mp_rms_zenith_m": m.mp_rms_m,
                                "noise_rms_zenith_m": m.noise_rms_m,
                                "code_error_rms_m": rms.get(label)}
                        for label, m in models.items()},
            "slips": [{"satellite": s.satellite, "epoch": s.epoch_iso, "cycles": s.cycles,
                       "lli": s.lli, "description": s.description,
                       "expected": self.expected_detections(s)} for s in self.slips],
        }

    def _reflector_truth(self) -> dict:
        cfg = self.config
        out = {"model": cfg.reflector_model, "height_m": cfg.reflector_height_m}
        if cfg.reflector_model == "tide":
            out.update(amplitude_m=cfg.tide_amplitude_m, period_s=cfg.tide_period_s, phase_deg=cfg.tide_phase_deg)
        elif cfg.reflector_model == "step":
            out.update(step_m=cfg.step_m,
                       step_time_s=cfg.step_time_s if cfg.step_time_s is not None else 0.5 * cfg.duration_s)
        return out
