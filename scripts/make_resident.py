#!/usr/bin/env python3
"""Makes the stand-in resident image src/assets/resident.bin.

The real resident is the station maker's code and is not ours to ship. This
stand-in has exactly the header and trailer the flasher expects of the
built-in image (body length 1102, automatic rate, divisor byte at image
offset 734, CRC 0xF6D1), so every byte the PC sends and checks is as with the
real one. Its body starts with a halt loop (cli; hlt; jmp back to hlt) and a
notice, then zero fill; two filler bytes at the end of the body are chosen so
that the CRC comes out at 0xF6D1.
"""
import struct
import sys

BODY_LENGTH = 1102
RATE_AUTOMATIC = 0xFFFE
DIVISOR_OFFSET = 728          # the divisor byte lies at image offset 6 + 728
MARKER = 0x40
WANTED_CRC = 0xF6D1
HALT_LOOP = bytes([0xFA, 0xF4, 0xEB, 0xFD])
NOTICE = (b"travek32 stand-in resident: not station code. "
          b"Build with the station maker's resident (TRAVEK_RESIDENT).\0")


def crc16(data, crc=0):
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def main(path):
    header = struct.pack("<HHHH", 0x364D, BODY_LENGTH, RATE_AUTOMATIC, DIVISOR_OFFSET)
    body = bytearray(BODY_LENGTH)
    body[:len(HALT_LOOP)] = HALT_LOOP
    body[len(HALT_LOOP):len(HALT_LOOP) + len(NOTICE)] = NOTICE
    body[6 + DIVISOR_OFFSET - 8] = MARKER
    before = crc16(header + body[:-2])
    for filler in range(0x10000):
        tail = struct.pack("<H", filler)
        if crc16(tail, before) == WANTED_CRC:
            body[-2:] = tail
            break
    else:
        sys.exit("no filler gives the wanted CRC")
    image = header + bytes(body) + struct.pack("<H", WANTED_CRC)
    assert crc16(image) == 0 and len(image) == BODY_LENGTH + 10
    with open(path, "wb") as out:
        out.write(image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/assets/resident.bin")
