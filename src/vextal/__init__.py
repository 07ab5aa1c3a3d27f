"""Satellite state vectors, frame conversions and multi-revolution Lambert transfer planning.

The work is done by C++ extension modules: ``vextal.vector3``, ``vextal.matrix4`` and the other math types,
``vextal.astro.orbitvector`` (state records and frame conversions), ``vextal.astro.kepler``,
``vextal.astro.root``, ``vextal.astro.multirev_arcs`` and ``vextal.astro.transfer_planner``.
"""

import os as _os

__version__ = "0.1.0"


def get_include() -> str:
    """Return the folder of the C++ headers that publish the modules' record layouts and native tables.

    Another extension module adds it to its include path and includes, for example,
    ``<vextal/vector3.hpp>`` or ``<vextal/astro/orbitvector.hpp>``.
    """
    return _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "include")
