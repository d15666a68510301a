"""Pressure traces as SVG, drawn by hand: vector lines that stay sharp in the PDF, no plotting library to load."""
from __future__ import annotations

import math
from html import escape
from typing import List, Optional, Sequence, Tuple

WIDTH, HEIGHT = 680, 200
LEFT, RIGHT, TOP, BOTTOM = 52, 12, 12, 34


def _ticks(low: float, high: float, count: int = 6) -> List[float]:
    span = max(high - low, 1e-9)
    raw = span / count
    magnitude = 10 ** math.floor(math.log10(raw))
    step = next(m * magnitude for m in (1, 2, 2.5, 5, 10) if m * magnitude >= raw)
    first = math.ceil(low / step) * step
    return [round(first + i * step, 10) for i in range(int((high - first) / step + 1e-9) + 1)]


def _columns(samples: Sequence[float], columns: int) -> List[Tuple[int, float, float]]:
    """(first index, min, max) per column: peaks survive the thinning."""
    n = len(samples)
    if n <= 2 * columns:
        return [(i, v, v) for i, v in enumerate(samples)]
    out = []
    for c in range(columns):
        a, b = c * n // columns, (c + 1) * n // columns
        chunk = samples[a:b]
        out.append((a, min(chunk), max(chunk)))
    return out


def trace_svg(samples: Sequence[float], rate: int, unit: str, levels: Sequence[Tuple[float, str]] = (),
              band: Optional[Tuple[float, float]] = None, title: str = "",
              span: Optional[Tuple[float, float]] = None) -> str:
    """An SVG plot of the samples over time with dashed reference levels and a shaded band of limits; span fixes
    the pressure axis (samples outside it are drawn at its edges)."""
    plot_w, plot_h = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM
    duration = max(len(samples) / rate, 1.0 / rate)
    if span:
        low, high = span
        samples = [min(max(v, low), high) for v in samples]
        levels = [(v, label) for v, label in levels if low <= v <= high]
    else:
        values = list(samples) + [v for v, _ in levels] + (list(band) if band else [])
        low = min(0.0, min(values, default=0.0))
        high = max(values, default=1.0)
        high = high + max(0.05 * (high - low), 1.0)
    x = lambda t: LEFT + t / duration * plot_w  # noqa: E731
    y = lambda p: TOP + plot_h - (p - low) / (high - low) * plot_h  # noqa: E731
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {WIDTH} {HEIGHT}" class="trace" '
             f'role="img" aria-label="{escape(title)}">',
             f'<rect x="{LEFT}" y="{TOP}" width="{plot_w}" height="{plot_h}" fill="#ffffff" stroke="#888"/>']
    if band:
        top, bottom = y(max(band)), y(min(band))
        parts.append(f'<rect x="{LEFT}" y="{top:.1f}" width="{plot_w}" height="{bottom - top:.1f}" '
                     f'fill="#d8efd8" class="band"/>')
    for tick in _ticks(low, high):
        parts.append(f'<line x1="{LEFT}" x2="{LEFT + plot_w}" y1="{y(tick):.1f}" y2="{y(tick):.1f}" stroke="#e4e4e4"/>')
        parts.append(f'<text x="{LEFT - 5}" y="{y(tick) + 4:.1f}" text-anchor="end">{tick:g}</text>')
    for tick in _ticks(0.0, duration, 8):
        parts.append(f'<line x1="{x(tick):.1f}" x2="{x(tick):.1f}" y1="{TOP}" y2="{TOP + plot_h}" stroke="#eeeeee"/>')
        parts.append(f'<text x="{x(tick):.1f}" y="{TOP + plot_h + 14}" text-anchor="middle">{tick:g}</text>')
    for value, label in levels:
        parts.append(f'<line x1="{LEFT}" x2="{LEFT + plot_w}" y1="{y(value):.1f}" y2="{y(value):.1f}" '
                     f'stroke="#c0392b" stroke-dasharray="4 3" stroke-width="0.8"/>')
        if label:
            parts.append(f'<text x="{LEFT + plot_w - 3}" y="{y(value) - 3:.1f}" text-anchor="end" '
                         f'fill="#c0392b">{escape(label)}</text>')
    if samples:
        points = []
        for index, lo, hi in _columns(samples, plot_w):
            t = index / rate
            points.append(f"{x(t):.1f},{y(lo):.1f}")
            if hi != lo:
                points.append(f"{x(t):.1f},{y(hi):.1f}")
        parts.append(f'<polyline fill="none" stroke="#1f4e9a" stroke-width="1.6" points="{" ".join(points)}"/>')
    else:
        parts.append(f'<text x="{LEFT + plot_w / 2}" y="{TOP + plot_h / 2}" text-anchor="middle">no samples</text>')
    parts.append(f'<text x="{LEFT + plot_w / 2}" y="{HEIGHT - 4}" text-anchor="middle">time (s)</text>')
    parts.append(f'<text x="12" y="{TOP + plot_h / 2}" text-anchor="middle" '
                 f'transform="rotate(-90 12 {TOP + plot_h / 2})">{escape(unit)}</text>')
    parts.append("</svg>")
    return "\n".join(parts)
