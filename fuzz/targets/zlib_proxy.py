"""The same bytes decoded with the module's `zlib` bound to the genuine module
and to a thin proxy module whose attributes forward to it.

Whatever the decoder does with what `zlib` returns (and any faster path it
takes only for the genuine module) must not change the result: the same image,
or the same exception type and message.
"""
import types
import zlib

from common import decoded, describe, run

import Lumivex.rasterCore_ext as rc
from Lumivex.rasterCore_ext import SimpleImage

proxy = types.ModuleType("zlib")
proxy.__getattr__ = lambda name: getattr(zlib, name)


def decode_with(zlib_module, data):
    rc.zlib = zlib_module
    try:
        return decoded(SimpleImage.open, data)
    finally:
        rc.zlib = zlib


def test_one_input(data):
    genuine = decode_with(zlib, data)
    proxied = decode_with(proxy, data)
    assert genuine == proxied, "genuine zlib gives %s, the proxy %s" % (describe(genuine), describe(proxied))


if __name__ == "__main__":
    run(test_one_input)
