"""Builds the velmora package with scikit-build: CMake compiles the native part
from the repository's kernel layer (python/CMakeLists.txt).

    pip install --no-build-isolation ./python

Everything it needs comes from Debian (python3-skbuild, pybind11-dev,
python3-numpy, cmake, g++); nothing is fetched.
"""

from skbuild import setup

setup(
    name="velmora",
    version="2230",
    description="Instrument-body resonance filters for numpy audio",
    packages=["velmora"],
    python_requires=">=3.9",
    install_requires=["numpy"],
    cmake_args=["-DCMAKE_BUILD_TYPE=Release"],
)
