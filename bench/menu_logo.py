# The logo of the converter benchmarks: a round RGBA PNG with a colour ramp, size x size pixels,
# transparent outside the circle, as a base64 text for a data URI.
import base64, math, struct, zlib


def logo_base64(size):
    rows = []
    for y in range(size):
        row = bytearray([0])
        for x in range(size):
            inside = math.hypot(x - size / 2, y - size / 2) < size * 0.46
            row += bytes([(x * 255) // size, (y * 255) // size, 128, 255 if inside else 0])
        rows.append(bytes(row))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff)

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    return base64.b64encode(png).decode()
