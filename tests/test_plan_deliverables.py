"""A plan that leaves the session: relative states in RIC, burns in RIC and VNB, the transfer's flight, its
OEM and OPM files read back by other CCSDS readers, and dates in every output."""
import json
import math

import numpy as np
import pytest

from vextal.astro import arrays

MU = 398600.5


def gram_schmidt_ric(r, v):
    """RIC rows built another way: R from r, I by removing v's radial part, C = R x I."""
    radial = r / np.linalg.norm(r)
    along = v - np.dot(v, radial) * radial
    along /= np.linalg.norm(along)
    return np.array([radial, along, np.cross(radial, along)])


def moved(r, v, dt):
    r2, v2 = arrays.propagate(r, v, dt, mu=MU)
    return np.asarray(r2), np.asarray(v2)


@pytest.mark.parametrize("reference, offset, dv", [
    ((7000.0, 0.0, 0.0, 0.0, 7.546, 0.0), (1.0, 2.0, 3.0), (0.001, 0.0, 0.0)),
    ((6778.0, 500.0, -300.0, -0.6, 6.2, 4.1), (-0.5, 10.0, 0.2), (0.0, -0.002, 0.0005)),
    ((26000.0, 3000.0, 1000.0, -1.0, 3.2, 1.9), (20.0, -40.0, 5.0), (0.01, 0.0, -0.003)),
])
def test_eci_to_ric_against_a_rotating_frame_differentiated(reference, offset, dv):
    r_ref, v_ref = np.array(reference[:3]), np.array(reference[3:])
    r, v = r_ref + np.array(offset), v_ref + np.array(dv)
    position, velocity = arrays.eci_to_ric(r, v, r_ref, v_ref)
    assert np.allclose(position, gram_schmidt_ric(r_ref, v_ref) @ (r - r_ref), atol=1e-9)
    # The relative velocity seen from the turning frame: d/dt of the RIC position, by central differences.
    h = 0.5
    ahead = [moved(r, v, h), moved(r_ref, v_ref, h)]
    behind = [moved(r, v, -h), moved(r_ref, v_ref, -h)]
    p_ahead = gram_schmidt_ric(*ahead[1]) @ (ahead[0][0] - ahead[1][0])
    p_behind = gram_schmidt_ric(*behind[1]) @ (behind[0][0] - behind[1][0])
    assert np.allclose(velocity, (p_ahead - p_behind) / (2 * h), atol=2e-8)


def test_eci_to_ric_broadcasts_and_refuses_frameless_references():
    r_ref = np.array([[7000.0, 0.0, 0.0], [0.0, 0.0, 0.0], [7000.0, 0.0, 0.0]])
    v_ref = np.array([[0.0, 7.5, 0.0], [0.0, 7.5, 0.0], [7.5, 0.0, 0.0]])
    position, velocity = arrays.eci_to_ric(np.zeros((4, 1, 3)) + [7001.0, 0.0, 0.0], [0.0, 7.5, 0.0], r_ref, v_ref)
    assert position.shape == velocity.shape == (4, 3, 3)
    assert np.allclose(position[:, 0], [1.0, 0.0, 0.0])
    assert np.isnan(position[:, 1:]).all() and np.isnan(velocity[:, 1:]).all()
    with pytest.raises(ValueError, match="eci_to_ric"):
        arrays.eci_to_ric(np.zeros((2, 3)), np.zeros((3, 3)), np.ones(3), np.ones(3))
