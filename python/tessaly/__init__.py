"""Tessaly: evaluation SDK for generative-AI applications.

Kept free of imports so that ``import tessaly.<module>`` stays cheap; import the
names you need from their modules.
"""

__version__ = "0.1.0"
