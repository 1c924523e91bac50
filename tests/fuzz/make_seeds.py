#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (tests/fuzz/corpus/): scripts of a
station (see sim/scripted_station.h) for a whole sound run and for some
of the ways a station goes wrong. Each seed starts with the byte that
chooses the adapter and the keys (see tests/fuzz/station_input_fuzz.cc):
its value modulo 6 picks an ideal port or one of the adapter profiles,
bit 7 keys typed on a keyboard."""
import os

ECHO = 0xFF


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def record(delay_steps, data, framing=False):
    when = delay_steps | (0x80 if framing else 0)
    if data == ECHO:
        return bytes([when, ECHO])
    return bytes([when, len(data)]) + bytes(data)


def packet(flags=0x00, chip0=(0x1F, 0xA4, 0x04, 0xF8), chip1=(0, 0, 0, 0), code=0xEE):
    body = bytes([code, flags, *chip0, *chip1])
    crc = crc16(body)
    return body + bytes([crc & 0xFF, crc >> 8])


def bootstrap():
    # The start byte of a 10 MHz station; then every byte echoed until the
    # PC has been quiet for 20 ms: the body's two parts, and 'U' answered
    # with 'U' at the operating rate.
    return record(10, [0x55]) + record(10, ECHO)


def sound_run(reports=bytes([0x0F] * 16)):
    # The packet; once the first batch is out, four credits; once the last
    # is out, the sixteen sector reports; long after, the answer to the
    # restart, which waits in the PC's queue for the command.
    return (bootstrap() + record(0, packet()) + record(2, [0x55] * 4) + record(20, reports) +
            record(127, [0x52]))


SEEDS = {
    "sound_run": bytes([0x00]) + sound_run(),
    "sound_run_ftdi_keyboard": bytes([0x80]) + sound_run(),
    "warnings_and_failure": bytes([0x01]) + sound_run(bytes([0x0F, 0xF0, 0xF0, 0x0F, 0xFF])),
    "two_chips_differ": bytes([0x00]) + bootstrap() +
    record(0, packet(0x04, (0x1F, 0xA4, 0x04, 0xF8), (0x1F, 0xDA, 0x04, 0xFC))),
    "wrong_packet_code": bytes([0x00]) + bootstrap() + record(0, packet(code=0xEF)),
    "noise_in_the_start_wait": bytes([0x00]) + record(5, [0x3F]) + record(5, [0xF0], True) +
    record(3, [0x55, 0x55]) + record(60, [0xA5]),
}

if __name__ == "__main__":
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
