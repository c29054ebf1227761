#!/usr/bin/env python3
"""Writes the game's two sounds as 16-bit mono WAV files for the movie build:
a quiet ambience that loops seamlessly and a short chime. Standard library only.

Usage: make_sounds.py OUTPUT_DIR
"""
import math
import os
import struct
import sys
import wave

RATE = 22050  # one of the rates an SWF sound may have


def write(path, samples):
    tmp = path + ".tmp"
    with wave.open(tmp, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", max(-32767, min(32767, int(s)))) for s in samples))
    os.replace(tmp, path)


def ambience(seconds=4.0):
    # Whole numbers of cycles of every partial in the loop's length: no click where it repeats.
    n = int(RATE * seconds)
    chord = [110.0, 165.0, 220.0, 277.5]
    out = []
    for i in range(n):
        t = i / RATE
        swell = 0.6 + 0.4 * math.sin(2 * math.pi * t / seconds)
        v = sum(math.sin(2 * math.pi * f * t) for f in chord) / len(chord)
        out.append(5000 * swell * v)
    return out


def chime(seconds=0.6):
    n = int(RATE * seconds)
    return [9000 * math.exp(-i / (RATE * 0.12)) *
            (math.sin(2 * math.pi * 1318.5 * i / RATE) + 0.5 * math.sin(2 * math.pi * 1975.5 * i / RATE))
            for i in range(n)]


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    write(os.path.join(out, "ambience.wav"), ambience())
    write(os.path.join(out, "chime.wav"), chime())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
