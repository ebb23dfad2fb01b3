"""Version 1 of the gateway's service: gateway.proto and the modules the build generates from it.

An installed package holds ``gateway_pb2`` and ``gateway_pb2_grpc`` here. A
build tree keeps them under the same path beside the built module
tarnvel_core, where this package looks for them too.
"""

import os

import tarnvel_core as _core

_built = os.path.join(os.path.dirname(os.path.abspath(_core.__file__)), "tarnvel", "gateway", "v1")
if os.path.isfile(os.path.join(_built, "gateway_pb2.py")) and _built not in __path__:
    __path__.append(_built)
