"""
The decoder from C, C++ and ctypes
==================================

The decoding core is a C++17 library with no dependencies; a C interface
over it, ``quillmore/quillmore.h``, serves C and every language with a C
foreign-function interface (Python's ctypes or cffi, C#'s P/Invoke, Rust,
Go).  The three programs below decode a recording and print the attention
and meditation of each second and the count of raw samples.  They live in
``tests/consumer/``, where CI builds them against the installed package and
checks that all of them print the same as the C++ core: this page shows
them, it does not run them.

Build and install
-----------------

The two options leave out the tests and benchmarks, which need GoogleTest
and Google Benchmark:

.. code-block:: console

   $ cmake -S . -B build -DQUILLMORE_BUILD_TESTS=OFF -DQUILLMORE_BUILD_BENCHMARKS=OFF
   $ cmake --build build
   $ cmake --install build --prefix /opt/quillmore

This installs the headers, ``libquillmore_core.a`` (C++), the C interface
as a shared library (``libquillmore.so``, ``libquillmore.dylib``,
``quillmore.dll``, exporting only the ``quillmore_*`` functions) and as a
static one (``libquillmore.a``), a CMake package and pkg-config files.  A
CMake project finds them with ``find_package`` (or takes the source tree
with ``FetchContent``, which builds the libraries and nothing else):

.. literalinclude:: /../tests/consumer/CMakeLists.txt
   :language: cmake
   :lines: 6-

Without CMake: ``pkg-config --cflags --libs quillmore`` for C, or
``quillmore-core`` for C++.

C
-

One struct of callbacks, each taking your ``user`` pointer and returning 0
to go on; non-zero makes ``quillmore_parse()`` return
``QUILLMORE_CALLBACK_STOPPED`` right after that frame, with ``consumed``
telling where to resume (nothing is lost).  A NULL callback is skipped; the
settings are copied at creation.  See :doc:`/reference/c` for the whole
header.

.. literalinclude:: /../tests/consumer/attention.c
   :language: c

.. code-block:: console

   $ export PKG_CONFIG_PATH=/opt/quillmore/lib/pkgconfig LD_LIBRARY_PATH=/opt/quillmore/lib
   $ cc -std=c99 attention.c $(pkg-config --cflags --libs quillmore) -o attention
   $ ./attention python/quillmore/data/sample.bin
   attention 0 meditation 0
   ...
   raw samples 30720

(On Windows, define ``QUILLMORE_STATIC`` when linking the static library.)

C++
---

A listener receives the records, each with the frame it came from (a
``FrameView``: the bytes collected for it).  A callback returns ``false`` to
stop ``parse()`` at that byte.  See :doc:`/reference/cpp`.

.. literalinclude:: /../tests/consumer/attention.cpp
   :language: cpp

.. code-block:: console

   $ c++ -std=c++17 attention.cpp $(pkg-config --cflags --libs quillmore-core) -o attention_cpp

Python through ctypes
---------------------

The same from Python against the shared library, with no compiler and no
extension module: the pattern for any language with a C foreign-function
interface.  The structures mirror ``quillmore_eeg`` and
``quillmore_settings``; the settings object keeps the two callback objects
alive as long as it lives.

.. literalinclude:: /../tests/consumer/attention_ctypes.py
   :language: python

.. code-block:: console

   $ python attention_ctypes.py /opt/quillmore/lib/libquillmore.so python/quillmore/data/sample.bin

Checking a binding against the package
--------------------------------------

A binding of your own can be checked the way CI checks these: decode the
same recording with it and with :func:`quillmore.read`, and compare.
"""

import subprocess
import sys

import quillmore

SAMPLE = "python/quillmore/data/sample.bin"
LIBRARY = "/opt/quillmore/lib/libquillmore.so"

printed = subprocess.run([sys.executable, "tests/consumer/attention_ctypes.py", LIBRARY, SAMPLE],
                         capture_output=True, text=True, check=True).stdout.splitlines()
rec = quillmore.read(SAMPLE)
expected = [f"attention {a} meditation {m}" for a, m in zip(rec.eeg["attention"], rec.eeg["meditation"])]
assert printed == expected + [f"raw samples {len(rec.raw)}"]
