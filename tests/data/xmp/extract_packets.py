#!/usr/bin/env python3
"""Extracts the XMP packets of the sample images byte for byte into NAME.xmp.

Run once by hand: python3 extract_packets.py SAMPLE_FOLDER. The packets are
committed; the tests never read the images themselves.
"""
import os
import struct
import sys
import zlib

JPEG_XMP = b"http://ns.adobe.com/xap/1.0/\0"
JPEG_EXTENDED = b"http://ns.adobe.com/xmp/extension/\0"


def jpeg_packets(data):
    """Main packet and the reassembled extended packet (empty when none)."""
    main, extended, pos = b"", {}, 2
    while pos + 4 <= len(data) and data[pos] == 0xFF:
        marker = data[pos + 1]
        if marker == 0xDA:  # image data follows: no more metadata segments
            break
        length = struct.unpack(">H", data[pos + 2:pos + 4])[0]
        body = data[pos + 4:pos + 2 + length]
        if marker == 0xE1 and body.startswith(JPEG_XMP) and not main:
            main = body[len(JPEG_XMP):]
        elif marker == 0xE1 and body.startswith(JPEG_EXTENDED):
            # GUID (32), full length (4), offset of this part (4), data
            rest = body[len(JPEG_EXTENDED) + 32:]
            offset = struct.unpack(">I", rest[4:8])[0]
            extended[offset] = rest[8:]
        pos += 2 + length
    return main, b"".join(extended[k] for k in sorted(extended))


def tiff_packet(data):
    order = "<" if data[:2] == b"II" else ">"
    ifd = struct.unpack(order + "I", data[4:8])[0]
    count = struct.unpack(order + "H", data[ifd:ifd + 2])[0]
    for i in range(count):
        entry = data[ifd + 2 + 12 * i:ifd + 14 + 12 * i]
        tag, _type, n, value = struct.unpack(order + "HHII", entry)
        if tag == 700:
            return data[value:value + n] if n > 4 else entry[8:8 + n]
    return b""


def png_packet(data):
    pos = 8
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"iTXt" and body.startswith(b"XML:com.adobe.xmp\0"):
            rest = body[len(b"XML:com.adobe.xmp\0"):]
            compressed = rest[0]
            rest = rest[2:]
            rest = rest[rest.index(b"\0") + 1:]  # language tag
            rest = rest[rest.index(b"\0") + 1:]  # translated keyword
            return zlib.decompress(rest) if compressed else rest
        pos += 12 + length
    return b""


def gif_packet(data):
    # The packet is stored raw inside the sub-blocks (their length bytes are
    # packet bytes) and followed by a 258-byte trailer that starts 01 FF FE.
    start = data.index(b"\x21\xff\x0bXMP DataXMP") + 14
    return data[start:data.index(b"\x01\xff\xfe\xfd", start)]


def main(folder):
    here = os.path.dirname(os.path.abspath(__file__))
    samples = [  # image, container, packet name
        ("BlueSquare.jpg", "jpeg", "BlueSquare"), ("BlueSquare.tif", "tiff", "BlueSquare-tif"),
        ("paris_exif_xmp_icc.jpg", "jpeg", "paris_exif_xmp_icc"), ("exiftool-PNG.png", "png", "exiftool-PNG"),
        ("exiftool-GIF.gif", "gif", "exiftool-GIF"), ("Arbitro.tiff", "tiff", "Arbitro"),
        ("exiftool-ExtendedXMP.jpg", "jpeg", "exiftool-ExtendedXMP"), ("exiftool-XMP.jpg", "jpeg", "exiftool-XMP"),
    ]
    for name, kind, stem in samples:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        extended = b""
        if kind == "jpeg":
            packet, extended = jpeg_packets(data)
        else:
            packet = {"tiff": tiff_packet, "png": png_packet, "gif": gif_packet}[kind](data)
        outputs = [(stem + ".xmp", packet)]
        if extended:
            outputs.append((stem + "-extension.xmp", extended))
        for out_name, bytes_ in outputs:
            assert bytes_, out_name
            with open(os.path.join(here, out_name), "wb") as f:
                f.write(bytes_)
            print(out_name, len(bytes_))


if __name__ == "__main__":
    main(sys.argv[1])
