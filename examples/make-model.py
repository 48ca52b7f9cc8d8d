#!/usr/bin/env python3
"""Writes the example CAD model: an angle bracket of 120 x 80 x 60 mm with a chamfered inner
corner, as a closed triangle mesh in millimetres (OBJ with its material library). The profile
in the x-y plane is extruded along z; y is up, as the example configuration's upright vector
says. Uses only the standard library and writes the same bytes on every run."""
from pathlib import Path

# Profile (x, y) in millimetres, counter-clockwise seen from +z.
PROFILE = [(0, 0), (120, 0), (120, 12), (24, 12), (12, 24), (12, 80), (0, 80)]
DEPTH = 60.0

# Fan triangulation of this profile from vertex 0 is not valid for the concave part, so the
# caps use explicit triangles (indices into PROFILE).
CAP = [(0, 1, 2), (0, 2, 3), (0, 3, 4), (0, 4, 5), (0, 5, 6)]


def main():
    out = Path(__file__).resolve().parent / "models"
    out.mkdir(exist_ok=True)
    n = len(PROFILE)
    verts = [(x, y, 0.0) for x, y in PROFILE] + [(x, y, DEPTH) for x, y in PROFILE]
    faces = []
    for a, b, c in CAP:  # back cap (z = 0) faces -z: reverse the winding
        faces.append((a, c, b))
    for a, b, c in CAP:  # front cap (z = DEPTH) faces +z
        faces.append((a + n, b + n, c + n))
    for i in range(n):  # side walls, outward
        j = (i + 1) % n
        faces.append((i, j, j + n))
        faces.append((i, j + n, i + n))
    lines = ["# Angle bracket, millimetres", "mtllib bracket.mtl", "o bracket", "usemtl steel"]
    lines += ["v %.1f %.1f %.1f" % v for v in verts]
    lines += ["f %d %d %d" % (a + 1, b + 1, c + 1) for a, b, c in faces]
    (out / "bracket.obj").write_text("\n".join(lines) + "\n")
    (out / "bracket.mtl").write_text("newmtl steel\nKd 0.6 0.6 0.65\nKa 0.1 0.1 0.1\nKs 0.3 0.3 0.3\n")


if __name__ == "__main__":
    main()
