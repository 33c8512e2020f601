# The project's version; a test holds it equal to SARDUNE_VERSION in the
# engine's public header, and pyproject.toml reads it from here.
__version__ = "1.1.0"
