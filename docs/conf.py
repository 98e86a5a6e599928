"""Sphinx configuration of the QuillmoreParser documentation.

Build it with ``sh docs/build.sh [PYTHON]`` (installs ``.[docs]``, then
``sphinx-build -W -b html docs build/docs`` and the doctest builder over the
how-to pages).  The package must be installed: the reference is generated
from its docstrings, the command-line reference from its own argparse
parser, and the tutorials run against it.

No intersphinx: the build machine reaches no documentation server, and none
of the packages used here ships an inventory of its own, so references to
NumPy, pandas or MNE are plain text.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import quillmore

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "QuillmoreParser"
author = "the QuillmoreParser developers"
copyright = "QuillmoreParser developers, MIT licence"
release = quillmore.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "sphinx.ext.viewcode",
    "sphinxarg.ext",
    "sphinx_gallery.gen_gallery",
    "sphinx_design",
    "stub_reference",
    "myst_parser",
]
# The user's guide is Markdown (MyST), the rest reStructuredText.
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
myst_heading_anchors = 3

exclude_patterns = ["_build", "**.ipynb_checkpoints", "tutorials/README.rst"]
templates_path: list[str] = []
# Options such as --pty stay two hyphens, not a dash.
smartquotes = False
html_static_path = ["_static"]
html_css_files = ["custom.css"]

# -- Python API ---------------------------------------------------------------
# The docstrings are prose with numpy-style sections where parameters matter.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
autodoc_preserve_defaults = True
python_use_unqualified_type_names = True
add_module_names = False

# -- Tutorials (sphinx-gallery) ----------------------------------------------
# plot_*.py scripts run at build time, their figures and output go into the
# page.  Other scripts (the C, C++ and ctypes tutorial) are shown, not run.
# A tutorial that raises fails the build.
sphinx_gallery_conf = {
    "examples_dirs": ["tutorials"],
    "gallery_dirs": ["auto_tutorials"],
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "write_computation_times": False,
    "remove_config_comments": True,
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    "capture_repr": ("_repr_html_", "__repr__"),
    "show_memory": False,
    "show_signature": False,
    "min_reported_time": 1,
}
# Figures drawn without a display.
os.environ.setdefault("MPLBACKEND", "agg")
os.environ.setdefault("MNE_LOGGING_LEVEL", "warning")

# -- How-to pages: their snippets are doctests --------------------------------
# `sphinx-build -b doctest docs build/doctest` runs them (docs/build.sh does).
doctest_global_setup = """
import os, tempfile
import quillmore
os.chdir(tempfile.mkdtemp(prefix="quillmore-doctest-"))
"""
doctest_test_doctest_blocks = ""   # plain >>> blocks are examples; only doctest directives run

# -- HTML ---------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = f"QuillmoreParser {release}"
html_theme_options = {
    "navbar_end": ["navbar-icon-links"],
    "secondary_sidebar_items": ["page-toc"],
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_sidebars = {page: [] for page in ("index", "getting_started", "performance", "changelog")}
html_show_sourcelink = False

# Stubs and headers shown in the reference.
stub_reference_root = str(ROOT)
