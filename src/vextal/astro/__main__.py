"""Command line of vextal.astro (replaced by the transfer planner's command line)."""
from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3


def main():
    r = Vector3(7000.0, 0.0, 0.0)
    v = Vector3(0.0, 7.5, 0.0)
    h = r.cross(v)
    print("r =", r, " v =", v)
    print("angular momentum r x v =", h, " |h| =", h.magnitude())
    frame = Matrix4(*r.normalize(), 0, *h.cross(r).normalize(), 0, *h.normalize(), 0, 0, 0, 0, 1)
    print("RIC frame:", frame)
    print("v in the RIC frame:", v.transform(frame))


if __name__ == "__main__":
    main()
