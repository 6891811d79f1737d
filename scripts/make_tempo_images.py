#!/usr/bin/python3
"""Draws the images of the desktop application: the three tempo button
images and the combo boxes' drop-down arrow.

Each image is a dial in the style sheet's colours whose needle and orange
scale segment mark the tempo range the mode prefers:

  pulsora_tempotron.png   mode 1, middle (beat prior 0.55 s, about 110 bpm)
  pulsora_tempotron2.png  mode 2, fast   (beat prior 0.43 s, about 140 bpm)
  pulsora_tempotron3.png  mode 3, slow   (beat prior 0.75 s, about 80 bpm)
  combo_arrow.png         the drop-down arrow, black like the combo boxes' text

Usage: scripts/make_tempo_images.py [OUTDIR]   (default: pulsora/resources)
Needs Debian's python3-pil and fonts-dejavu-core.
"""
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

WIDTH, HEIGHT = 130, 120  # the button's icon size
SCALE = 4  # drawn large, then scaled down for smooth edges

# Style sheet colours.
FACE = "#151c26"
RIM = "#0a64e0"
TICK = "#546d8e"
ZONE_OFF = "#2b3e56"
ACCENT = "#ed6022"
TEXT = "#648dae"

FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

# The scale runs clockwise from lower left (135 degrees, image coordinates,
# y downwards) over the top to lower right (405 degrees); three equal zones.
ZONES = {"slow": (135, 225), "middle": (225, 315), "fast": (315, 405)}
MODES = [
    ("pulsora_tempotron.png", "middle", "MID", "~110 bpm"),
    ("pulsora_tempotron2.png", "fast", "FAST", "~140 bpm"),
    ("pulsora_tempotron3.png", "slow", "SLOW", "~80 bpm"),
]


def s(v):
    return v * SCALE


def polar(cx, cy, r, degrees):
    a = math.radians(degrees)
    return cx + r * math.cos(a), cy + r * math.sin(a)


def draw_dial(zone, word, bpm):
    img = Image.new("RGBA", (s(WIDTH), s(HEIGHT)), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    cx, cy, radius = s(WIDTH / 2), s(59), s(56)

    d.ellipse([cx - radius, cy - radius, cx + radius, cy + radius], fill=FACE,
              outline=RIM, width=s(2))

    # Scale: dim zones, the mode's zone in orange and thicker.
    r_zone = radius - s(9)
    box = [cx - r_zone, cy - r_zone, cx + r_zone, cy + r_zone]
    for name, (a0, a1) in ZONES.items():
        if name == zone:
            d.arc(box, a0 + 2, a1 - 2, fill=ACCENT, width=s(7))
        else:
            d.arc(box, a0 + 2, a1 - 2, fill=ZONE_OFF, width=s(4))

    # Ticks every 27 degrees, longer at the zone borders.
    for i in range(11):
        a = 135 + i * 27
        major = i in (0, 10) or abs(a - 225) < 1 or abs(a - 315) < 1
        r0 = radius - s(19) if major else radius - s(16)
        d.line([polar(cx, cy, r0, a), polar(cx, cy, radius - s(13), a)], fill=TICK,
               width=s(2) if major else s(1))

    # Needle pointing at the middle of the mode's zone, with its hub.
    a0, a1 = ZONES[zone]
    angle = (a0 + a1) / 2
    tip = polar(cx, cy, radius - s(17), angle)
    left = polar(cx, cy, s(4), angle + 90)
    right = polar(cx, cy, s(4), angle - 90)
    d.polygon([tip, left, right], fill=ACCENT)
    d.ellipse([cx - s(6), cy - s(6), cx + s(6), cy + s(6)], fill=RIM)

    # The mode's name and tempo in the open bottom of the dial.
    big = ImageFont.truetype(FONT_BOLD, s(13))
    small = ImageFont.truetype(FONT, s(9))
    d.text((cx, cy + s(22)), word, font=big, fill=TEXT, anchor="mm")
    d.text((cx, cy + s(37)), bpm, font=small, fill=TICK, anchor="mm")

    return img.resize((WIDTH, HEIGHT), Image.LANCZOS)


def draw_arrow():
    width, height = 10, 6
    img = Image.new("RGBA", (s(width), s(height)), (0, 0, 0, 0))
    ImageDraw.Draw(img).polygon([(0, 0), (s(width), 0), (s(width) / 2, s(height))], fill="#000000")
    return img.resize((width, height), Image.LANCZOS)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "pulsora", "resources")
    os.makedirs(outdir, exist_ok=True)
    for filename, zone, word, bpm in MODES:
        draw_dial(zone, word, bpm).save(os.path.join(outdir, filename), optimize=True)
        print(os.path.join(outdir, filename))
    draw_arrow().save(os.path.join(outdir, "combo_arrow.png"), optimize=True)
    print(os.path.join(outdir, "combo_arrow.png"))


if __name__ == "__main__":
    main()
