DEFLATE_BACKEND: str
STRONGEST_LEVEL: int
ADAPTIVE_FILTER: int

def encodePng(width: int, height: int, pixels: object, level: int, strategy: int, /) -> bytes: ...
