from typing import Callable, List, Optional, Tuple, Union

DEFLATE_BACKEND: str
STRONGEST_LEVEL: int
ADAPTIVE_FILTER: int
COLOUR_AUTO: int
COLOUR_RGB: int

# (width, height, pixels, format, (PNG colour type, bit depth, interlace method) or (BMP bits per pixel,),
#  (channels, bytes a sample))
Decoded = Tuple[int, int, bytearray, str, Tuple[int, ...], Tuple[int, int]]

def encodePng(width: int, height: int, pixels: object, level: int, strategy: int, colour: int, /) -> bytes: ...
def decodeCapped(stream: object, maxPixels: Optional[int], overCap: Callable[[int, int, int], BaseException],
                 layout: int, depth: int) -> Decoded: ...
def decodeBytes(data: object, maxPixels: Optional[int], overCap: Callable[[int, int, int], BaseException],
                layout: int, depth: int) -> Decoded: ...
PeekedHeader = Union[Tuple[str, int, int, int, int, int], Tuple[str, int, int, int, int, int, bool]]
PEEK_BYTES: int
def peekHeader(data: object, /) -> Optional[PeekedHeader]: ...
# (chunk type, data, place: 0 before PLTE, 1 before the image data, 2 after it)
def pngChunks(source: object, /) -> List[Tuple[bytes, bytes, int]]: ...
