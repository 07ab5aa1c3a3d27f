"""Astrodynamics: state vectors and frames, Kepler propagation, Lambert solutions and transfer planning."""
