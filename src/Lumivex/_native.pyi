import struct as struct
import zlib as zlib
from typing import Callable, Optional, Tuple

DEFLATE_BACKEND: str
STRONGEST_LEVEL: int
ADAPTIVE_FILTER: int
PNG_SIGNATURE: bytes

def encodePng(width: int, height: int, pixels: object, level: int, strategy: int, /) -> bytes: ...
def _readChunk(stream: object) -> Tuple[bytes, bytes]: ...
def decodeCapped(stream: object, maxPixels: Optional[int], overCap: Callable[[int, int, int], BaseException],
                 ) -> Tuple[int, int, bytearray, str, Optional[int]]: ...
def decodeBytes(data: object, maxPixels: Optional[int], overCap: Callable[[int, int, int], BaseException],
                ) -> Tuple[int, int, bytearray, str, Optional[int]]: ...
