"""Canonical texts and canonical node orders for labelled undirected graphs."""

from _quorl import *  # noqa: F401,F403  (the engine's classes and functions)
